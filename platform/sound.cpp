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
#include <tuple>
#include <vector>

#include "platform/clock.h"
#include "platform/failure_note_internal.h"
#include "platform/paths.h"
#include "platform/shared_library_internal.h"

namespace shub::os {
namespace {

using detail::resolveSymbol;

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
    return resolveSymbol(library, "sf_open", api.open) && resolveSymbol(library, "sf_readf_short", api.readf) &&
           resolveSymbol(library, "sf_close", api.close);
  });
}

// ALSA writes its own lines to stderr, unprefixed and several per failed open,
// at every tap; the one that matters is said by the player, once, in ours.
void swallowAlsaMessage(const char*, int, const char*, int, const char*, ...) {}

const AlsaApi* alsa() {
  return detail::loadLibraryApi<AlsaApi>("libasound.so.2", [](void* library, AlsaApi& api) {
    decltype(&snd_lib_error_set_handler) setErrorHandler = nullptr;
    return resolveSymbol(library, "snd_pcm_open", api.open) &&
           resolveSymbol(library, "snd_pcm_nonblock", api.nonblock) &&
           resolveSymbol(library, "snd_pcm_set_params", api.setParams) &&
           resolveSymbol(library, "snd_pcm_writei", api.writei) && resolveSymbol(library, "snd_pcm_drain", api.drain) &&
           resolveSymbol(library, "snd_pcm_recover", api.recover) && resolveSymbol(library, "snd_pcm_close", api.close) &&
           resolveSymbol(library, "snd_strerror", api.strerror) &&
           resolveSymbol(library, "snd_lib_error_set_handler", setErrorHandler) &&
           setErrorHandler(swallowAlsaMessage) == 0;  // before any PCM exists
  });
}

// A PCM that cannot play is said by the first click that meets it, not at every tap.
void sayPcmFailure(const AlsaApi& api, const char* what, int error) {
  static std::atomic<bool> said{false};
  if (said.exchange(true)) return;
  detail::noteFailure("sound (ALSA's default PCM)", (std::string(what) + ": " + api.strerror(error)).c_str(), 0);
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
  const AlsaApi& api = *alsa();
  snd_pcm_t* pcm = nullptr;
  // "default", never hw:, shares the card with a sound server; a busy card must not hang us.
  if (const int error = api.open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK); error < 0) {
    sayPcmFailure(api, "cannot be opened", error);
    return;
  }
  api.nonblock(pcm, 0);
  const auto channels = static_cast<unsigned>(sound.info.channels);
  const int refused = api.setParams(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED, channels,
                                    static_cast<unsigned>(sound.info.samplerate), 1, 100000);
  if (refused < 0) sayPcmFailure(api, "refuses the click's format", refused);
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

// What the click remembers between taps; every field but busy is under the mutex.
struct Player {
  std::mutex mutex;
  SoundClock clock = nullptr;
  uint64_t simulatedStart = 0;  // a simulated sound plays from this time of the clock
  uint32_t simulatedMs = 0;     // for so long
  std::tuple<std::string, off_t, time_t, long> cachedStamp;  // path, size, modification time
  std::shared_ptr<const Sound> cached;  // nullptr: the file at cachedStamp does not decode
  bool said[3] = {};
  std::atomic<bool> busy{false};  // from the request until the PCM is closed
  std::jthread thread;            // declared last: stopped and joined first at exit
};

Player& player() {
  static Player instance;
  return instance;
}

uint64_t nowMs(const Player& p) { return p.clock != nullptr ? p.clock() : msSince({}); }

// A click that cannot play is said once per cause, not at every tap.
bool sayOnce(Player& p, int cause, const std::string& object, const char* what) {
  if (!p.said[cause]) detail::noteFailure(object, what, 0);
  p.said[cause] = true;
  return false;
}

}  // namespace

bool startSoundUnlessPlaying(const char* devicePath) {
  if (devicePath == nullptr) return false;
  const std::optional<std::string> path = resolveDevicePath(devicePath);
  Player& p = player();
  std::lock_guard lock(p.mutex);
  if (!path) return sayOnce(p, 0, devicePath, "no such sound file below the device root");
  // No-stop: a playing sound goes on. Ticks wrap: a simulated one is timed from its start.
  if (p.busy || static_cast<uint32_t>(nowMs(p) - p.simulatedStart) < p.simulatedMs) return false;
  struct stat info {};
  if (stat(path->c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  // Stamped before the decode: a file replaced meanwhile costs a decode, never a stale sound.
  auto stamp = std::make_tuple(*path, info.st_size, info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
  if (stamp != p.cachedStamp) p.cached = decode(*path);
  p.cachedStamp = std::move(stamp);
  const std::shared_ptr<const Sound> sound = p.cached;
  if (!sound) return sayOnce(p, 1, *path, "not a sound libsndfile can read");
  if (const std::optional<std::string> node = findDeviceNode("sound"); node && S_ISREG(fileType(*node))) {
    if (!writeNodeFile(*node, std::string(devicePath) + "\n", true)) return false;
    const auto frames = static_cast<uint64_t>(sound->info.frames), rate = static_cast<uint64_t>(sound->info.samplerate);
    p.simulatedStart = nowMs(p);
    p.simulatedMs = static_cast<uint32_t>((frames * 1000 + rate - 1) / rate);
    return true;
  }
  if (alsa() == nullptr) return sayOnce(p, 2, "sound", "libasound cannot be loaded; clicks stay silent");
  p.busy = true;
  // The last player has ended (busy was false): the assignment only joins it.
  p.thread = startThread([&p, sound](std::stop_token stop) {
    playOnAlsa(*sound, stop);
    p.busy = false;
  });
  if (!p.thread.joinable()) p.busy = false;
  return p.thread.joinable();
}

void setSoundClock(SoundClock clock) {
  std::lock_guard lock(player().mutex);
  player().clock = clock;
  player().simulatedMs = 0;
}

}  // namespace shub::os
