// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// A tap costs no decoding: the decoded sound stays in memory while its file is
// unchanged; ALSA plays it on a player thread. Survives bad files, no library or
// card (nothing plays, said once, in our words: ALSA's own messages are
// swallowed), several callers and exit mid-sound. Both libraries are mapped on
// the first click: an idle daemon plays nothing.
#include "platform/sound.h"

#include <alsa/asoundlib.h>
#include <sndfile.h>
#include <sys/stat.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/log.h"
#include "platform/paths.h"
#include "platform/shared_library_internal.h"

namespace shub::os {
namespace {

constexpr sf_count_t kMaxSamples = 16 * 1024 * 1024;  // beyond this a click would only fill memory

struct Sound {
  SF_INFO info;                  // its frames, as the decoder reports them, time a simulated sound
  std::vector<int16_t> samples;  // interleaved
};

struct SndfileApi {
  decltype(&sf_open) open;
  decltype(&sf_readf_short) readf;
  decltype(&sf_close) close;
};

struct AlsaApi {
  decltype(&snd_pcm_open) open;
  decltype(&snd_pcm_nonblock) nonblock;
  decltype(&snd_pcm_set_params) setParams;
  decltype(&snd_pcm_writei) writei;
  decltype(&snd_pcm_recover) recover;
  decltype(&snd_pcm_drain) drain;
  decltype(&snd_pcm_close) close;
  decltype(&snd_strerror) strerror;
};

const SndfileApi* sndfile() {
  return detail::loadLibraryApi<SndfileApi>("libsndfile.so.1", [](void* library, SndfileApi& api) {
    return detail::resolveSymbols(library, {"sf_open", "sf_readf_short", "sf_close"}, api.open, api.readf, api.close);
  });
}

// ALSA writes its own lines to stderr, unprefixed and several per failed open,
// at every tap; the one that matters is said by the player, once, in ours.
void swallowAlsaMessage(const char*, int, const char*, int, const char*, ...) {}

const AlsaApi* alsa() {
  return detail::loadLibraryApi<AlsaApi>("libasound.so.2", [](void* library, AlsaApi& api) {
    decltype(&snd_lib_error_set_handler) setErrorHandler = nullptr;
    return detail::resolveSymbols(library,
                                  {"snd_pcm_open", "snd_pcm_nonblock", "snd_pcm_set_params", "snd_pcm_writei",
                                   "snd_pcm_recover", "snd_pcm_drain", "snd_pcm_close", "snd_strerror",
                                   "snd_lib_error_set_handler"},
                                  api.open, api.nonblock, api.setParams, api.writei, api.recover, api.drain, api.close,
                                  api.strerror, setErrorHandler) &&
           setErrorHandler(swallowAlsaMessage) == 0;  // before any PCM exists
  });
}

// What the click remembers between taps; every field but said and busy is under the mutex.
struct Player {
  std::mutex mutex;
  SoundClock clock = nullptr;
  uint64_t simulatedEnd = 0;  // a simulated sound plays until this time of the clock
  std::tuple<std::string, off_t, time_t, long> cachedStamp;  // path, size, modification time
  std::shared_ptr<const Sound> cached;  // nullptr: the file at cachedStamp does not decode
  SayOnce said[4];                      // per cause of silence
  std::atomic<bool> busy{false};        // from the request until the PCM is closed
  std::jthread thread;                  // declared last: stopped and joined first at exit
};

Player& player() {
  static Player instance;
  return instance;
}

uint64_t nowMs(const Player& p) {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return p.clock ? p.clock() : static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

// A click that cannot play is said once per cause, not at every tap.
bool sayOnce(int cause, const std::string& object, const std::string& what) {
  if (player().said[cause].allow()) logWarning("%s: %s", object.c_str(), what.c_str());
  return false;
}

// The whole file as 16-bit samples; nullptr when there is nothing to play.
std::shared_ptr<const Sound> decode(const std::string& path) {
  const SndfileApi* const sf = sndfile();
  SF_INFO info{};
  SNDFILE* const file = sf != nullptr ? sf->open(path.c_str(), SFM_READ, &info) : nullptr;
  if (file == nullptr) return nullptr;
  auto sound = std::make_shared<Sound>(Sound{info, {}});
  if (info.channels > 0 && info.samplerate > 0 && info.frames > 0 && info.frames <= kMaxSamples / info.channels) {
    sound->samples.resize(static_cast<size_t>(info.frames * info.channels));
    const sf_count_t read = std::max<sf_count_t>(sf->readf(file, sound->samples.data(), info.frames), 0);
    sound->samples.resize(static_cast<size_t>(read * info.channels));
  }
  sf->close(file);
  return sound->samples.empty() ? nullptr : sound;
}

void playOnAlsa(const Sound& sound, std::stop_token stop) {
  constexpr const char* kPcm = "sound (ALSA's default PCM)";
  const AlsaApi& api = *alsa();
  snd_pcm_t* pcm = nullptr;
  // "default", never hw:, shares the card with a sound server; a busy card must not hang us.
  if (const int error = api.open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK); error < 0) {
    sayOnce(3, kPcm, std::string("cannot be opened: ") + api.strerror(error));
    return;
  }
  api.nonblock(pcm, 0);
  const auto channels = static_cast<unsigned>(sound.info.channels);
  const int refused = api.setParams(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, channels,
                                    static_cast<unsigned>(sound.info.samplerate), 1, 100000);
  if (refused < 0) sayOnce(3, kPcm, std::string("refuses the click's format: ") + api.strerror(refused));
  if (refused == 0) {
    // In pieces, so that a stop at exit need not wait for the end of the sound.
    for (size_t done = 0, total = sound.samples.size() / channels; done < total && !stop.stop_requested();) {
      const size_t piece = std::min<size_t>(total - done, 1024);
      snd_pcm_sframes_t written = api.writei(pcm, &sound.samples[done * channels], piece);
      if (written < 0) written = api.recover(pcm, static_cast<int>(written), 1);
      if (written < 0) break;
      done += static_cast<size_t>(written);
    }
    if (!stop.stop_requested()) api.drain(pcm);
  }
  api.close(pcm);  // drops whatever a stop left unplayed
}

}  // namespace

bool startSoundUnlessPlaying(const char* devicePath) {
  if (devicePath == nullptr) return false;
  const std::optional<std::string> path = resolveDevicePath(devicePath);
  Player& p = player();
  std::lock_guard lock(p.mutex);
  if (!path) return sayOnce(0, devicePath, "no such sound file below the device root");
  if (p.busy || nowMs(p) < p.simulatedEnd) return false;  // a playing sound goes on
  struct stat info {};
  if (stat(path->c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  // Stamped before the decode: a file replaced meanwhile costs a decode, never a stale sound.
  auto stamp = std::make_tuple(*path, info.st_size, info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
  if (stamp != p.cachedStamp) p.cached = decode(*path);
  p.cachedStamp = std::move(stamp);
  const std::shared_ptr<const Sound> sound = p.cached;
  if (!sound) return sayOnce(1, *path, "not a sound libsndfile can read");
  if (const std::optional<std::string> node = findDeviceNode("sound"); node && S_ISREG(fileType(*node))) {
    if (!writeNodeFile(*node, std::string(devicePath) + "\n", true)) return false;
    const auto frames = static_cast<uint64_t>(sound->info.frames), rate = static_cast<uint64_t>(sound->info.samplerate);
    p.simulatedEnd = nowMs(p) + (frames * 1000 + rate - 1) / rate;
    return true;
  }
  if (alsa() == nullptr) return sayOnce(2, "sound", "libasound cannot be loaded; clicks stay silent");
  p.busy = true;
  // The last player has ended (busy was false): the assignment only joins it.
  try {
    p.thread = std::jthread([&p, sound](std::stop_token stop) {
      playOnAlsa(*sound, stop);
      p.busy = false;
    });
    return true;
  } catch (const std::system_error&) {  // no thread to give: this click stays silent
    p.busy = false;
    return false;
  }
}

void setSoundClock(SoundClock clock) {
  std::lock_guard lock(player().mutex);
  player().clock = clock;
  player().simulatedEnd = 0;
}

}  // namespace shub::os
