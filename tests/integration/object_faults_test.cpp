// SPDX-FileCopyrightText: 2026 The serialhub authors
// SPDX-License-Identifier: BSD-2-Clause
// What other processes can do to the daemon through the objects directory and
// the port: truncate, corrupt or plant object files, leave stale signals
// behind, kill it and start it again without privileges. The daemon lives on,
// never spins, never writes through a link, and still stops cleanly.
#include <gtest/gtest.h>

#include <linux/futex.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/named_objects.h"
#include "router/channel_block.h"
#include "tests/support/pty.h"
#include "tests/support/daemon_process.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/test_channel.h"
#include "tests/support/text.h"
#include "tests/support/wait.h"

using namespace shub::router;

using testing_support::DaemonProcess;
using testing_support::occurrences;
using testing_support::PtyPair;
using testing_support::waitUntil;
using namespace std::chrono_literals;

namespace {

using Bytes = std::vector<uint8_t>;
using Channel = testing_support::TestChannel;

// Writes `value` into an event file's word and wakes its sleepers, as a
// careless or hostile client could.
void forceEventWord(const std::string& path, uint32_t value) {
  const int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  void* map = mmap(nullptr, 8, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  ASSERT_NE(map, MAP_FAILED);
  auto* word = static_cast<uint32_t*>(map);
  std::atomic_ref<uint32_t>(*word).store(value);
  syscall(SYS_futex, word, FUTEX_WAKE, 1, nullptr, nullptr, 0);
  munmap(map, 8);
}

class ObjectFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty.ok());
    ASSERT_TRUE(pty.linkAs(sandbox.root() + "/dev/COM7"));
  }
  std::string object(const std::string& name) const { return sandbox.objects() + "/" + name; }

  testing_support::DeviceSandbox sandbox;
  PtyPair pty;
  DaemonProcess daemon{sandbox};
};

}  // namespace

TEST_F(ObjectFaults, HostileObjectFilesNeitherKillNorHangNorSpinTheDaemon) {
  // A link planted where the daemon will make CRT5: its target must stay as it is.
  const std::string target = sandbox.base() + "/target";
  testing_support::writeHostFile(target, std::string(SHUB_BLOCK_SIZE, '\xEE'));
  ASSERT_EQ(symlink(target.c_str(), object("CRT5").c_str()), 0);
  daemon.writeRoutes("3,aa 55,,0-0,6,fixed\n2,aa 33,,0-0,4,kept\n1,fe,,0-0,6,touch\n5,aa 66,,0-0,4,linked\n");
  ASSERT_TRUE(daemon.startReady());
  Channel kept("CRT2");

  // A word of 2 counts as a signal: the writer sends the block once, then sleeps.
  {
    Channel write("CRT:WRITE");
    write.put({0x77});
  }
  forceEventWord(object("CRT:WRITE:EVENT"), 2);
  EXPECT_EQ(pty.receive(1), Bytes{0x77});

  // Each kind of object shrunk to nothing under the running daemon, then used.
  ASSERT_EQ(truncate(object("CRT3").c_str(), 0), 0);
  ASSERT_EQ(truncate(object("CRT1:EVENT").c_str(), 0), 0);
  ASSERT_EQ(truncate(object("CRT:WRITE").c_str(), 0), 0);
  pty.send({0xAA, 0x55, 1, 2, 3, 4, 0xFE, 0x41, 0, 0, 0, 0});
  forceEventWord(object("CRT:WRITE:EVENT"), 1);
  // The writer must have read the shrunken block before its event shrinks too.
  ASSERT_TRUE(waitUntil([&] { return occurrences(daemon.stderrText(), "/CRT:WRITE: ") == 1; }))
      << daemon.stderrText();
  ASSERT_EQ(truncate(object("CRT:WRITE:EVENT").c_str(), 0), 0);

  // The rest goes on.
  pty.send({0xAA, 0x33, 9, 9});
  EXPECT_EQ(kept.nextFrame(), (Bytes{0xAA, 0x33, 9, 9}));
  const long before = daemon.cpuTicks();
  waitUntil([] { return false; }, 1s);  // a window to measure idleness over
  EXPECT_LE(daemon.cpuTicks() - before, 5) << "ticks of CPU in 1 s";
  ASSERT_TRUE(daemon.alive());

  const std::string said = daemon.stderrText();
  for (const char* name : {"CRT3", "CRT1:EVENT", "CRT:WRITE"}) {
    EXPECT_EQ(occurrences(said, "/" + std::string(name) + ": "), 1u) << name << " in:\n" << said;
  }
  EXPECT_EQ(testing_support::readHostFile(target), std::string(SHUB_BLOCK_SIZE, '\xEE'));

  ASSERT_EQ(kill(daemon.pid(), SIGTERM), 0);
  EXPECT_EQ(daemon.waitExit(3s), 0);
}

TEST_F(ObjectFaults, SignalsLeftFromBeforeTheStartAreNotActedOn) {
  sandbox.writeFile("dev/pointer", "");
  sandbox.writeFile("dev/screen", "800x480\n");
  {
    // A pen-down frame and bytes to send, announced while no daemon ran.
    Channel touch("CRT1", Channel::Event::makeSignalled);
    touch.put({0xFE, 0x41, 0xF0, 0x00, 0x90, 0x01});
    Channel write("CRT:WRITE", Channel::Event::makeSignalled);
    write.put({0x01, 0x02, 0x03});
  }
  daemon.writeRoutes("1,fe,,0-0,6,touch\n");
  ASSERT_TRUE(daemon.startReady());

  pty.send({0xFE, 0x00, 0, 0, 0, 0});  // pen up
  Channel write("CRT:WRITE");
  write.put({0x51});
  write.event.signal();
  EXPECT_EQ(pty.receive(1), Bytes{0x51}) << "the stale bytes went out first";
  ASSERT_TRUE(waitUntil([&] { return !sandbox.readFile("dev/pointer").empty(); }));
  EXPECT_EQ(sandbox.readFile("dev/pointer"), "4 0 0 0 0\n") << "a stale frame was injected";
}

// A CRT:WRITE another process spoiled costs the serial writes and nothing
// else: said once, frames still flow, and the power watcher still runs.
TEST(SpoiledWriteBlock, TurnsOffOnlyTheWrites) {
  struct Spoil {
    const char* legend;
    std::function<void(const std::string& path)> make;
    const char* said;
  };
  const Spoil spoils[] = {
      {"100 bytes", [](const std::string& path) { testing_support::writeHostFile(path, std::string(100, 'x')); },
       "not a file of 288 bytes; serial writes are off"},
      {"truncated to nothing", [](const std::string& path) { testing_support::writeHostFile(path, ""); },
       "not a file of 288 bytes; serial writes are off"},
      {"a link", [](const std::string& path) { ASSERT_EQ(symlink("/dev/null", path.c_str()), 0); },
       "a symbolic link; refused; serial writes are off"},
  };
  for (const Spoil& spoil : spoils) {
    SCOPED_TRACE(spoil.legend);
    testing_support::DeviceSandbox sandbox;
    PtyPair pty;
    ASSERT_TRUE(pty.linkAs(sandbox.root() + "/dev/COM7"));
    sandbox.writeFile("dev/BAT1", "0\n");
    DaemonProcess daemon(sandbox);
    daemon.writeRoutes("3,aa 55,,0-0,6,fixed\n");
    spoil.make(sandbox.objects() + "/CRT:WRITE");
    ASSERT_TRUE(daemon.startReady()) << daemon.stderrText();
    Channel fixed("CRT3", Channel::Event::open);
    EXPECT_TRUE(pty.resendUntil({0xAA, 0x55, 1, 2, 3, 4}, [&] { return !fixed.nextFrame(200).empty(); }));
    EXPECT_TRUE(waitUntil([&] { return occurrences(daemon.stderrText(), "AC power lost") == 1; }, 5s))
        << daemon.stderrText();
    EXPECT_EQ(occurrences(daemon.stderrText(), spoil.said), 1u) << daemon.stderrText();
    EXPECT_EQ(daemon.stop(), 0);
  }
}

// A link left naming /dev/pts/N may name someone's shell by now: a pty of
// another user is no line. Refused and said once; what is typed there reaches
// no channel; given to us, it is taken.
TEST_F(ObjectFaults, APtyOfAnotherUserIsNeverOpened) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a pty to another user needs root";
  ASSERT_EQ(chown(pty.slave.c_str(), 65534, 65534), 0);
  daemon.writeRoutes("2,aa 33,,0-0,4,text\n");
  ASSERT_TRUE(daemon.startReady());
  const std::string refusal = "a pty of uid 65534, not of this user, root or the group serialhub; refused";
  ASSERT_TRUE(waitUntil([&] { return occurrences(daemon.stderrText(), refusal) == 1; })) << daemon.stderrText();
  Channel text("CRT2", Channel::Event::open);
  pty.send({0xAA, 0x33, 's', 'e'});
  EXPECT_TRUE(text.nextFrame(1500).empty()) << "a line of another user's terminal was read";

  ASSERT_EQ(chown(pty.slave.c_str(), 0, 0), 0);
  EXPECT_TRUE(pty.resendUntil({0xAA, 0x33, 1, 2}, [&] { return !text.nextFrame(200).empty(); }));
  EXPECT_EQ(occurrences(daemon.stderrText(), refusal), 1u);
}

// A pty keeps TIOCEXCL for as long as its master lives, so a daemon killed
// without its clean-up must not have set it: the next one, without root, would
// be refused the port for good.
TEST_F(ObjectFaults, AfterKillNineAnUnprivilegedDaemonOpensThePortAgain) {
  std::optional<uid_t> user;
  gid_t group = 0;
  if (geteuid() == 0) {
    user = 65534, group = 65534;  // nobody, nogroup
    for (const std::string& dir : {sandbox.base(), sandbox.root(), sandbox.root() + "/dev", daemon.folder()}) {
      chmod(dir.c_str(), 0755);
    }
    ASSERT_EQ(chown(sandbox.objects().c_str(), *user, group), 0);
    ASSERT_EQ(chown(pty.slave.c_str(), *user, group), 0);
  }
  daemon.writeRoutes("3,aa 55,,0-0,6,fixed\n");
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run == 0 ? "first daemon" : "after kill -9");
    ASSERT_TRUE(daemon.start(user, group));
    ASSERT_EQ(daemon.nextNotice(), "READY=1") << daemon.stderrText();
    Channel fixed("CRT3");
    EXPECT_TRUE(pty.resendUntil({0xAA, 0x55, 7, 7, 7, 7}, [&] { return !fixed.nextFrame(500).empty(); }))
        << daemon.stderrText();
    daemon.killHard();
  }
}
