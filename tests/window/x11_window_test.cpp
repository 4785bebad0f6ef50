// Windows on a real X server (a private Xvfb): the X window's identity, paint
// and erase from Expose, finding windows through window-manager frames,
// messages from another process, and the foreground request. A second X
// connection in the test plays the outside observer.
// gtest first: Xlib's macros (None, Bool) would break its templates.
#include <gtest/gtest.h>
// clang-format off
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
// clang-format on
#include <spawn.h>
#include <sys/wait.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/window.h"
#include "tests/support/device_sandbox.h"
#include "tests/support/wait.h"
#include "tests/window/xvfb_server.h"

extern char** environ;

namespace {

using XWindow = ::Window;

std::vector<uint32_t> seen;  // messages reaching the SLEEP procedure, in order
std::vector<std::pair<uintptr_t, intptr_t>> params;

intptr_t sleepProc(ce::Window* w, uint32_t message, uintptr_t wParam, intptr_t lParam) {
  seen.push_back(message);
  params.emplace_back(wParam, lParam);
  return ce::defWindowProc(w, message, wParam, lParam);
}

std::string textProperty(Display* d, XWindow w, const char* name, const char* type) {
  Atom actual = 0;
  int format = 0;
  unsigned long count = 0, after = 0;
  unsigned char* data = nullptr;
  std::string value;
  if (XGetWindowProperty(d, w, XInternAtom(d, name, False), 0, 256, False,
                         XInternAtom(d, type, False), &actual, &format, &count, &after,
                         &data) == Success && data) {
    value.assign(reinterpret_cast<char*>(data), count);
  }
  if (data) XFree(data);
  return value;
}

// Top-level windows carrying WM_CLASS `cls`, as the observer sees them.
XWindow findByClass(Display* d, const char* cls) {
  XWindow root = 0, parent = 0, found = 0;
  XWindow* children = nullptr;
  unsigned int count = 0;
  XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count);
  for (unsigned int i = count; i-- > 0 && !found;) {  // newest (topmost) first
    XClassHint hint = {};
    if (XGetClassHint(d, children[i], &hint)) {
      if (hint.res_class && std::strcmp(hint.res_class, cls) == 0) found = children[i];
      XFree(hint.res_name);
      XFree(hint.res_class);
    }
  }
  if (children) XFree(children);
  return found;
}

class X11WindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    server = new testing_support::XvfbServer;
    if (!server->start(whyNot)) return;
    observer = XOpenDisplay(server->display().c_str());
    if (!observer) whyNot = "cannot connect to the private Xvfb";
    if (ce::registerClass("SLEEP", sleepProc) == 0) whyNot = "class registration failed";
  }
  static void TearDownTestSuite() {
    if (observer) XCloseDisplay(observer);
    observer = nullptr;
    delete server;
    server = nullptr;
  }

  void SetUp() override {
    if (!whyNot.empty()) GTEST_SKIP() << whyNot;
    seen.clear();
    params.clear();
  }

  ce::Window* makeSleepWindow() {
    ce::Window* w = ce::createWindow("SLEEP", "SLEEP", ce::WS_POPUP | ce::WS_SYSMENU, 0, 0, 800, 480);
    windows.push_back(w);
    return w;
  }
  void TearDown() override {
    for (ce::Window* w : windows) ce::destroyWindow(w);
  }

  // Pumps this thread's queue until `message` has been dispatched.
  static bool dispatchUntilSeen(uint32_t message) {
    const size_t before = seen.size();
    // A 5 s timer on the thread bounds the wait without sleeping.
    const uintptr_t id = ce::setTimer(nullptr, 4242, 5000, nullptr);
    ce::Message m;
    while (ce::getMessage(m)) {
      if (m.message == ce::WM_TIMER && m.window == nullptr && m.wParam == id) break;
      ce::dispatchMessage(m);
      for (size_t i = before; i < seen.size(); ++i) {
        if (seen[i] == message) {
          ce::killTimer(nullptr, id);
          return true;
        }
      }
    }
    ce::killTimer(nullptr, id);
    return false;
  }

  static inline testing_support::XvfbServer* server = nullptr;
  static inline Display* observer = nullptr;
  static inline std::string whyNot;
  std::vector<ce::Window*> windows;
};

TEST_F(X11WindowTest, WindowCarriesClassTitleGeometryAndNoDecoration) {
  ce::Window* w = makeSleepWindow();
  ASSERT_NE(w, nullptr);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen[0], ce::WM_CREATE);
  EXPECT_TRUE(ce::isWindow(w));
  XSync(observer, False);
  const XWindow xid = findByClass(observer, "SLEEP");
  ASSERT_NE(xid, 0u);
  XClassHint hint = {};
  ASSERT_TRUE(XGetClassHint(observer, xid, &hint));
  EXPECT_STREQ(hint.res_name, "SLEEP");
  XFree(hint.res_name);
  XFree(hint.res_class);
  EXPECT_EQ(textProperty(observer, xid, "WM_NAME", "STRING"), "SLEEP");
  EXPECT_EQ(textProperty(observer, xid, "_NET_WM_NAME", "UTF8_STRING"), "SLEEP");
  XWindowAttributes a = {};
  ASSERT_TRUE(XGetWindowAttributes(observer, xid, &a));
  EXPECT_EQ(a.x, 0);
  EXPECT_EQ(a.y, 0);
  EXPECT_EQ(a.width, 800);
  EXPECT_EQ(a.height, 480);
  EXPECT_TRUE(a.override_redirect) << "no window manager runs on the private server";
  EXPECT_EQ(a.backing_store, NotUseful);
  EXPECT_EQ(a.map_state, IsUnmapped) << "not visible until shown";
}

TEST_F(X11WindowTest, UpdatePaintsAtOnceAndExposeBecomesPaintThenErase) {
  ce::Window* w = makeSleepWindow();
  ASSERT_NE(w, nullptr);
  seen.clear();
  ce::showWindow(w, ce::SW_SHOWNORMAL);
  ce::updateWindow(w);
  ASSERT_EQ(seen.size(), 2u) << "updateWindow must paint before the loop starts";
  EXPECT_EQ(seen[0], ce::WM_PAINT);
  EXPECT_EQ(seen[1], ce::WM_ERASEBKGND);

  seen.clear();
  const XWindow xid = findByClass(observer, "SLEEP");
  XClearArea(observer, xid, 0, 0, 0, 0, True);  // asks the server for an Expose
  XFlush(observer);
  ASSERT_TRUE(dispatchUntilSeen(ce::WM_ERASEBKGND));
  ASSERT_GE(seen.size(), 2u);
  EXPECT_EQ(seen[0], ce::WM_PAINT);
  EXPECT_EQ(seen[1], ce::WM_ERASEBKGND);
}

TEST_F(X11WindowTest, AnotherProcessFindsTheWindowAndPostsToIt) {
  ce::Window* w = makeSleepWindow();
  ASSERT_NE(w, nullptr);
  struct Case {
    const char* cls;
    const char* title;
    int exitCode;
  } cases[] = {{"SLEEP", "SLEEP", 0}, {"sleep", "SLEEP", 0}, {"SLEEP", "WAKE", 1}, {"NONE", "SLEEP", 1}};
  for (const Case& c : cases) {
    seen.clear();
    params.clear();
    const std::string peer = testing_support::builtProgram("tests/window/window_peer");
    char* argv[] = {const_cast<char*>(peer.c_str()), const_cast<char*>(c.cls),
                    const_cast<char*>(c.title), const_cast<char*>("1336"),
                    const_cast<char*>("0xFFFFFFFF"), const_cast<char*>("-2"), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, peer.c_str(), nullptr, nullptr, argv, environ), 0);
    int status = -1;
    ASSERT_TRUE(testing_support::waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.exitCode) << c.cls << " / " << c.title;
    if (c.exitCode != 0) continue;
    ASSERT_TRUE(dispatchUntilSeen(1336)) << c.cls;
    EXPECT_EQ(params.back().first, 0xFFFFFFFFu) << "wParam is unsigned";
    EXPECT_EQ(params.back().second, -2) << "lParam is signed";
  }
}

TEST_F(X11WindowTest, FindsForeignClientsThroughFramesAndPostsToThem) {
  // The observer plays another process under a window manager: a frame at the
  // top level holding a client that has WM_STATE.
  Display* d = observer;
  const XWindow root = DefaultRootWindow(d);
  const XWindow frame = XCreateSimpleWindow(d, root, 10, 10, 100, 100, 0, 0, 0);
  const XWindow client = XCreateSimpleWindow(d, frame, 0, 0, 100, 100, 0, 0, 0);
  XClassHint hint = {const_cast<char*>("notes"), const_cast<char*>("Notes")};
  XSetClassHint(d, client, &hint);
  XStoreName(d, client, "Pad");
  const Atom wmState = XInternAtom(d, "WM_STATE", False);
  const long state[2] = {1, 0};
  XChangeProperty(d, client, wmState, wmState, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(state), 2);
  XSelectInput(d, client, StructureNotifyMask);
  XSync(d, False);

  ce::Window* found = ce::findWindow("Notes", "Pad");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(ce::findWindow("Notes", "Pad"), found) << "the proxy is reused";
  EXPECT_EQ(ce::findWindow("Notes", "Other"), nullptr);
  ASSERT_TRUE(ce::postMessage(found, 1330, 3, 4));

  XEvent event = {};
  ASSERT_TRUE(testing_support::waitUntil([&] {
    return XCheckTypedWindowEvent(d, client, ClientMessage, &event) == True;
  }));
  EXPECT_EQ(event.xclient.message_type, XInternAtom(d, "_CE_WINDOW_MESSAGE", False));
  EXPECT_EQ(event.xclient.format, 32);
  EXPECT_EQ(event.xclient.data.l[0], 1330);
  EXPECT_EQ(event.xclient.data.l[1], 3);
  EXPECT_EQ(event.xclient.data.l[2], 4);

  XDestroyWindow(d, frame);
  XSync(d, False);
  EXPECT_FALSE(ce::postMessage(found, 1330, 0, 0)) << "the foreign window is gone";
}

TEST_F(X11WindowTest, ForegroundRaisesAndFocusesWithoutAWindowManager) {
  ce::Window* w = makeSleepWindow();
  ASSERT_NE(w, nullptr);
  ce::showWindow(w, ce::SW_SHOWNORMAL);
  ce::updateWindow(w);
  const XWindow xid = findByClass(observer, "SLEEP");
  const XWindow cover = XCreateSimpleWindow(observer, DefaultRootWindow(observer), 0, 0, 50, 50, 0, 0, 0);
  XMapRaised(observer, cover);
  XSync(observer, False);

  ce::setForegroundWindow(nullptr);  // does nothing
  ce::setForegroundWindow(w);
  auto topIsOurs = [&] {
    XWindow root = 0, parent = 0;
    XWindow* children = nullptr;
    unsigned int count = 0;
    XQueryTree(observer, DefaultRootWindow(observer), &root, &parent, &children, &count);
    const bool top = count > 0 && children[count - 1] == xid;
    if (children) XFree(children);
    return top;
  };
  EXPECT_TRUE(testing_support::waitUntil(topIsOurs));
  XWindow focus = 0;
  int revert = 0;
  EXPECT_TRUE(testing_support::waitUntil([&] {
    XGetInputFocus(observer, &focus, &revert);
    return focus == xid;
  }));
  XDestroyWindow(observer, cover);
  XSync(observer, False);
}

}  // namespace
