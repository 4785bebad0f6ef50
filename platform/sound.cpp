// Sound playback for the click. A tap must cost no decoding, so the decoded
// sound stays in memory while its file is unchanged (same path, size and
// modification time). Playing never blocks the caller: ALSA runs on one
// player thread, one sound at a time, and a request while it plays is dropped.
//
// Must survive: missing, truncated or undecodable files (nothing plays),
// files that change between taps (decoded anew), callers on several threads,
// no sound card (the player thread gives up quietly), no libsndfile or
// libasound installed (nothing plays, as for an undecodable file), and
// process exit while a sound plays (the player is stopped and joined).
//
// libsndfile (with its codecs) and libasound are mapped on the first click,
// not at start-up: most of the time the daemon plays nothing.
#include "platform/sound.h"

#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/failure_note_internal.h"
#include "platform/paths.h"
#include "platform/shared_library_internal.h"

namespace ce {
namespace {

// Bounds of what is worth decoding for a click: anything beyond is refused
// rather than filling memory.
constexpr int kMaxChannels = 8;
constexpr int kMaxRate = 384000;
constexpr sf_count_t kMaxSamples = 16 * 1024 * 1024;

struct DecodedSound {
  std::vector<int16_t> samples;  // interleaved
  int channels = 0;
  int rate = 0;
  sf_count_t frames = 0;  // as the decoder reports them
};

struct FileStamp {
  std::string path;
  off_t size = -1;
  int64_t mtimeNs = 0;
  bool operator==(const FileStamp&) const = default;
};

FileStamp stampOf(const std::string& path, const struct stat& info) {
  return {path, info.st_size, static_cast<int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
}

uint64_t steadyMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::atomic<SoundClock> soundClock{nullptr};

uint64_t nowMs() {
  const SoundClock clock = soundClock.load();
  return clock != nullptr ? clock() : steadyMs();
}

// The few libsndfile and libasound functions used, resolved on first use.
// nullptr when the library (or one of these functions) is not there.
struct SndfileApi {
  decltype(&sf_open_fd) openFd = nullptr;
  decltype(&sf_readf_short) readfShort = nullptr;
  decltype(&sf_close) close = nullptr;
};

struct AlsaApi {
  decltype(&snd_pcm_open) open = nullptr;
  decltype(&snd_pcm_nonblock) nonblock = nullptr;
  decltype(&snd_pcm_set_params) setParams = nullptr;
  decltype(&snd_pcm_writei) writei = nullptr;
  decltype(&snd_pcm_recover) recover = nullptr;
  decltype(&snd_pcm_drop) drop = nullptr;
  decltype(&snd_pcm_drain) drain = nullptr;
  decltype(&snd_pcm_close) close = nullptr;
};

const SndfileApi* sndfile() {
  return detail::loadLibraryApi<SndfileApi>("libsndfile.so.1", [](void* library, SndfileApi& api) {
    using detail::resolveSymbol;
    return resolveSymbol(library, "sf_open_fd", api.openFd) &&
           resolveSymbol(library, "sf_readf_short", api.readfShort) &&
           resolveSymbol(library, "sf_close", api.close);
  });
}

const AlsaApi* alsa() {
  return detail::loadLibraryApi<AlsaApi>("libasound.so.2", [](void* library, AlsaApi& api) {
    using detail::resolveSymbol;
    return resolveSymbol(library, "snd_pcm_open", api.open) &&
           resolveSymbol(library, "snd_pcm_nonblock", api.nonblock) &&
           resolveSymbol(library, "snd_pcm_set_params", api.setParams) &&
           resolveSymbol(library, "snd_pcm_writei", api.writei) &&
           resolveSymbol(library, "snd_pcm_recover", api.recover) &&
           resolveSymbol(library, "snd_pcm_drop", api.drop) &&
           resolveSymbol(library, "snd_pcm_drain", api.drain) &&
           resolveSymbol(library, "snd_pcm_close", api.close);
  });
}

// Takes ownership of fd.
std::shared_ptr<const DecodedSound> decode(int fd) {
  const SndfileApi* const sf = sndfile();
  if (sf == nullptr) {
    ::close(fd);
    return nullptr;
  }
  SF_INFO info{};
  SNDFILE* file = sf->openFd(fd, SFM_READ, &info, SF_TRUE);  // closes fd in every case
  if (file == nullptr) return nullptr;
  auto sound = std::make_shared<DecodedSound>();
  const bool sane = info.channels > 0 && info.channels <= kMaxChannels && info.samplerate > 0 &&
                    info.samplerate <= kMaxRate && info.frames > 0 && info.frames <= kMaxSamples / info.channels;
  if (sane) {
    sound->channels = info.channels;
    sound->rate = info.samplerate;
    sound->samples.resize(static_cast<size_t>(info.frames * info.channels));
    const sf_count_t read = sf->readfShort(file, sound->samples.data(), info.frames);
    sound->frames = info.frames;
    sound->samples.resize(static_cast<size_t>(std::max<sf_count_t>(read, 0) * info.channels));
  }
  sf->close(file);
  if (!sane || sound->samples.empty()) return nullptr;
  return sound;
}

void playOnAlsa(const AlsaApi& api, const DecodedSound& sound, const std::atomic<bool>& stopping) {
  snd_pcm_t* pcm = nullptr;
  // Never a hw: device: "default" lets a sound server share the card. Opened
  // non-blocking so a busy card cannot hang the player.
  if (api.open(&pcm, "default", SND_PCM_STREAM_PLAYBACK, SND_PCM_NONBLOCK) < 0) return;
  api.nonblock(pcm, 0);
  if (api.setParams(pcm, SND_PCM_FORMAT_S16, SND_PCM_ACCESS_RW_INTERLEAVED,
                         static_cast<unsigned>(sound.channels), static_cast<unsigned>(sound.rate), 1,
                         100000) == 0) {
    const size_t channels = static_cast<size_t>(sound.channels);
    const snd_pcm_uframes_t total = sound.samples.size() / channels;
    snd_pcm_uframes_t done = 0;
    while (done < total && !stopping.load()) {
      const snd_pcm_uframes_t chunk = std::min<snd_pcm_uframes_t>(total - done, 1024);
      snd_pcm_sframes_t written = api.writei(pcm, sound.samples.data() + done * channels, chunk);
      if (written < 0) written = api.recover(pcm, static_cast<int>(written), 1);
      if (written < 0) break;
      done += static_cast<snd_pcm_uframes_t>(written);
    }
    if (stopping.load()) {
      api.drop(pcm);
    } else {
      api.drain(pcm);
    }
  }
  api.close(pcm);
}

class SoundService {
 public:
  ~SoundService() {
    {
      std::lock_guard lock(mutex_);
      stopping_.store(true);
    }
    wake_.notify_all();
    if (player_.joinable()) player_.join();
  }

  bool play(const char* devicePath) {
    if (devicePath == nullptr) return false;
    const std::optional<std::string> host = resolveDevicePath(devicePath);
    std::lock_guard lock(mutex_);
    if (!host) return sayOnceLocked(missingSaid_, devicePath, "no such sound file below the device root");
    if (playingLocked()) return false;  // no-stop: the playing sound goes on
    const std::shared_ptr<const DecodedSound> sound = loadLocked(*host);
    if (!sound) return sayOnceLocked(undecodableSaid_, *host, "not a sound libsndfile can read");
    const std::optional<std::string> node = findDeviceNode("sound");
    struct stat info {};
    if (node && ::stat(node->c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
      return simulateLocked(*node, devicePath, *sound);
    }
    return startPlayerLocked(sound);
  }

  bool playing() {
    std::lock_guard lock(mutex_);
    return playingLocked();
  }

  // Times of one clock mean nothing on another: a simulated sound ends when
  // the clock is replaced.
  void replaceClock(SoundClock clock) {
    std::lock_guard lock(mutex_);
    soundClock.store(clock);
    simulatedUntil_ = 0;
  }

 private:
  // A click that cannot play is said once per cause, not at every tap.
  static bool sayOnceLocked(bool& said, const std::string& object, const char* what) {
    if (!said) detail::noteFailure(object, what, 0);
    said = true;
    return false;
  }

  bool playingLocked() const { return playerBusy_ || nowMs() < simulatedUntil_; }

  // The decoded sound of `path`, from the cache while the file is unchanged.
  std::shared_ptr<const DecodedSound> loadLocked(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
    if (cached_ && stampOf(path, info) == cachedStamp_) return cached_;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return nullptr;
    // The stamp comes from the descriptor actually decoded, so a file replaced
    // in between is not cached under the old one's stamp.
    if (::fstat(fd, &info) != 0) {
      ::close(fd);
      return nullptr;
    }
    cachedStamp_ = stampOf(path, info);
    cached_ = decode(fd);
    return cached_;
  }

  bool simulateLocked(const std::string& node, const char* devicePath, const DecodedSound& sound) {
    std::string line(devicePath);
    line += '\n';
    const int fd = ::open(node.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    const bool written = ::write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    ::close(fd);
    if (!written) return false;
    const uint64_t durationMs =
        (static_cast<uint64_t>(sound.frames) * 1000 + static_cast<uint64_t>(sound.rate) - 1) /
        static_cast<uint64_t>(sound.rate);
    simulatedUntil_ = nowMs() + durationMs;
    return true;
  }

  bool startPlayerLocked(std::shared_ptr<const DecodedSound> sound) {
    if (stopping_.load()) return false;
    if (alsa() == nullptr) return sayOnceLocked(noAlsaSaid_, "sound", "libasound cannot be loaded; clicks stay silent");
    if (!player_.joinable()) player_ = std::thread([this] { playerLoop(); });
    job_ = std::move(sound);
    playerBusy_ = true;
    wake_.notify_one();
    return true;
  }

  void playerLoop() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_.load() || job_ != nullptr; });
      if (stopping_.load()) return;
      const std::shared_ptr<const DecodedSound> sound = std::move(job_);
      job_.reset();
      lock.unlock();
      playOnAlsa(*alsa(), *sound, stopping_);
      lock.lock();
      playerBusy_ = false;
    }
  }

  std::mutex mutex_;
  FileStamp cachedStamp_;
  std::shared_ptr<const DecodedSound> cached_;  // nullptr: nothing decodable cached
  uint64_t simulatedUntil_ = 0;                 // simulated sound plays until this clock time
  bool missingSaid_ = false, undecodableSaid_ = false, noAlsaSaid_ = false;
  std::condition_variable wake_;
  std::shared_ptr<const DecodedSound> job_;  // handed to the player thread
  bool playerBusy_ = false;                  // from the request until the PCM is closed
  std::atomic<bool> stopping_{false};
  std::thread player_;
};

SoundService& service() {
  static SoundService instance;
  return instance;
}

}  // namespace

bool playSoundAsyncNoStop(const char* devicePath) { return service().play(devicePath); }

bool soundPlaying() { return service().playing(); }

void setSoundClock(SoundClock clock) { service().replaceClock(clock); }

}  // namespace ce
