// The desktop program under test: a private X server (with a window manager
// when a test asks for one), the real build/vantrel started in a folder of hook
// scripts, and the X tools that read its windows, press its keys and look at
// its pixels.
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "testkit.hpp"

namespace desktop {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Polls `done` every 50 ms until it holds or `limit` has passed.
inline bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit = 8s) {
    auto end = Clock::now() + limit;
    for (;;) {
        if (done()) return true;
        if (Clock::now() > end) return false;
        std::this_thread::sleep_for(50ms);
    }
}

// In a forked child: runs the program with its standard descriptors on /dev/null.
[[noreturn]] inline void exec_quietly(std::vector<std::string> args) {
    int devnull = open("/dev/null", O_RDWR);
    dup2(devnull, 0);
    dup2(devnull, 1);
    dup2(devnull, 2);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

// Starts a daemon whose argv names a descriptor (through `fd_arg`, given the
// descriptor's number) on which it reports its first line; returns that line
// ("" if it died first) and sets `pid`.
inline std::string start_reporting_daemon(const std::function<std::vector<std::string>(int)>& argv_for,
                                          pid_t& pid) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    pid = fork();
    if (pid == 0) {
        close(fds[0]);
        exec_quietly(argv_for(fds[1]));
    }
    close(fds[1]);
    std::string line;
    char ch;
    while (read(fds[0], &ch, 1) == 1 && ch != '\n') line += ch;
    close(fds[0]);
    return line;
}

// Starts a daemon that reports nothing.
inline pid_t start_daemon(const std::vector<std::string>& args) {
    pid_t pid = fork();
    if (pid == 0) exec_quietly(args);
    return pid;
}

inline void stop_daemon(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

// One Xvfb for the whole test program, on a display it picks itself.
class XServer {
public:
    static XServer& Instance() {
        static XServer server;
        return server;
    }
    const std::string& display() const { return display_; }

private:
    XServer() {
        std::string number = start_reporting_daemon(
            [](int fd) {
                return std::vector<std::string>{"Xvfb", "-displayfd", std::to_string(fd), "-screen", "0",
                                                "1280x800x24", "-nolisten", "tcp", "-noreset"};
            },
            pid_);
        if (number.empty()) throw std::runtime_error("Xvfb did not start");
        display_ = ":" + number;
        setenv("DISPLAY", display_.c_str(), 1);
    }
    ~XServer() { stop_daemon(pid_); }
    pid_t pid_ = -1;
    std::string display_;
};

// A window manager that maximises (openbox) on the test's X server while the
// object lives; the other tests run without one.
class WindowManager {
public:
    explicit WindowManager(const std::string& cache_home) {
        XServer::Instance();
        pid_ = start_daemon({"env", "XDG_CACHE_HOME=" + cache_home, "openbox", "--sm-disable"});
        if (!eventually([&] { return running(); }, 10s)) {
            stop_daemon(pid_);
            throw std::runtime_error("openbox did not start");
        }
    }
    ~WindowManager() { stop_daemon(pid_); }
    WindowManager(const WindowManager&) = delete;
    WindowManager& operator=(const WindowManager&) = delete;

private:
    // The root names a check window that exists (a stopped manager leaves the
    // name of a window that is gone) and the work area is set: the manager has
    // taken the screen.
    static bool running() {
        if (testkit::run_command({"xprop", "-root", "_NET_WORKAREA"}, "", 5s).out.find(" = ") == std::string::npos)
            return false;
        testkit::CommandResult root =
            testkit::run_command({"xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}, "", 5s);
        std::size_t at = root.out.find("# 0x");
        if (at == std::string::npos) return false;
        std::string id = root.out.substr(at + 2, root.out.find_first_of(" \n", at + 2) - at - 2);
        testkit::CommandResult check = testkit::run_command({"xprop", "-id", id, "_NET_WM_NAME"}, "", 5s);
        return check.exit_code == 0 && check.out.find("Openbox") != std::string::npos;
    }
    pid_t pid_ = -1;
};

// The sizes top-level windows are created with, as the X server tells a client
// watching the root from construction on.
class CreatedWindows {
public:
    CreatedWindows() {
        display_ = XOpenDisplay(XServer::Instance().display().c_str());
        if (!display_) throw std::runtime_error("cannot open the X display");
        XSelectInput(display_, DefaultRootWindow(display_), SubstructureNotifyMask);
        XSync(display_, False);  // from here on every creation is reported
    }
    ~CreatedWindows() { XCloseDisplay(display_); }
    CreatedWindows(const CreatedWindows&) = delete;
    CreatedWindows& operator=(const CreatedWindows&) = delete;

    // "WIDTHxHEIGHT" the window was created with, "" when its creation was not seen.
    std::string size_of(unsigned long window) {
        while (XPending(display_) > 0) {
            XEvent event;
            XNextEvent(display_, &event);
            if (event.type == CreateNotify)
                sizes_[event.xcreatewindow.window] =
                    std::to_string(event.xcreatewindow.width) + "x" + std::to_string(event.xcreatewindow.height);
        }
        auto found = sizes_.find(window);
        return found == sizes_.end() ? "" : found->second;
    }

private:
    Display* display_ = nullptr;
    std::map<unsigned long, std::string> sizes_;
};

// Fills the root window (what no window covers) with a colour 0xRRGGBB.
inline void paint_root(unsigned long rgb) {
    Display* d = XOpenDisplay(XServer::Instance().display().c_str());
    if (!d) throw std::runtime_error("cannot open the X display");
    XSetWindowBackground(d, DefaultRootWindow(d), rgb);
    XClearWindow(d, DefaultRootWindow(d));
    XCloseDisplay(d);
}

// Every colour (0xRRGGBB) that the screen's points show from the moment a
// large window (300x300 or more) is mapped on the root until all of them show
// `last` or `limit` has passed; sampled as fast as the X server answers.
inline std::set<unsigned long> colours_after_map(const std::vector<std::pair<int, int>>& points,
                                                 unsigned long last, std::chrono::milliseconds limit) {
    Display* d = XOpenDisplay(XServer::Instance().display().c_str());
    if (!d) throw std::runtime_error("cannot open the X display");
    Window root = DefaultRootWindow(d);
    XSelectInput(d, root, SubstructureNotifyMask);
    XSync(d, False);
    std::set<unsigned long> seen;
    bool mapped = false;
    auto end = Clock::now() + limit;
    for (bool done = false; !done && Clock::now() < end;) {
        while (!mapped && XPending(d) > 0) {
            XEvent event;
            XNextEvent(d, &event);
            XWindowAttributes a;
            mapped = event.type == MapNotify && XGetWindowAttributes(d, event.xmap.window, &a) && a.width >= 300 &&
                     a.height >= 300;
        }
        done = mapped;
        for (auto [x, y] : points) {
            if (!mapped) break;
            XImage* image = XGetImage(d, root, x, y, 1, 1, AllPlanes, ZPixmap);
            if (!image) continue;
            unsigned long colour = XGetPixel(image, 0, 0) & 0xffffff;
            XDestroyImage(image);
            seen.insert(colour);
            done = done && colour == last;
        }
        std::this_thread::sleep_for(1ms);
    }
    XCloseDisplay(d);
    return seen;
}

// Asks the window manager to maximise the window or to undo it.
inline bool set_maximized(unsigned long window, bool maximized) {
    Display* d = XOpenDisplay(XServer::Instance().display().c_str());
    if (!d) return false;
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(d, "_NET_WM_STATE", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = maximized ? 1 : 0;  // add or remove
    event.xclient.data.l[1] = static_cast<long>(XInternAtom(d, "_NET_WM_STATE_MAXIMIZED_VERT", False));
    event.xclient.data.l[2] = static_cast<long>(XInternAtom(d, "_NET_WM_STATE_MAXIMIZED_HORZ", False));
    event.xclient.data.l[3] = 1;  // asked by an application
    bool sent = XSendEvent(d, DefaultRootWindow(d), False, SubstructureRedirectMask | SubstructureNotifyMask,
                           &event) != 0;
    XFlush(d);
    XCloseDisplay(d);
    return sent;
}

// A screenshot as 8-bit RGB.
struct Image {
    int width = 0, height = 0;
    std::string rgb;
    struct Pixel {
        int r = 0, g = 0, b = 0;
    };
    Pixel at(int x, int y) const {
        if (x < 0 || y < 0 || x >= width || y >= height) return {-1, -1, -1};
        std::size_t i = (static_cast<std::size_t>(y) * width + x) * 3;
        return {static_cast<unsigned char>(rgb[i]), static_cast<unsigned char>(rgb[i + 1]),
                static_cast<unsigned char>(rgb[i + 2])};
    }
    bool is(int x, int y, int r, int g, int b, int tolerance = 40) const {
        Pixel p = at(x, y);
        return std::abs(p.r - r) <= tolerance && std::abs(p.g - g) <= tolerance && std::abs(p.b - b) <= tolerance;
    }
};

// Reads a binary PPM (P6, maxval 255).
inline std::optional<Image> parse_ppm(const std::string& data) {
    std::size_t pos = 0;
    auto token = [&]() {
        while (pos < data.size()) {
            if (data[pos] == '#') {
                while (pos < data.size() && data[pos] != '\n') ++pos;
            } else if (std::isspace(static_cast<unsigned char>(data[pos]))) {
                ++pos;
            } else {
                break;
            }
        }
        std::string t;
        while (pos < data.size() && !std::isspace(static_cast<unsigned char>(data[pos]))) t += data[pos++];
        return t;
    };
    if (token() != "P6") return std::nullopt;
    Image image;
    image.width = std::atoi(token().c_str());
    image.height = std::atoi(token().c_str());
    if (token() != "255") return std::nullopt;
    ++pos;  // the single blank after the header
    std::size_t size = static_cast<std::size_t>(image.width) * image.height * 3;
    if (image.width <= 0 || image.height <= 0 || data.size() < pos + size) return std::nullopt;
    image.rgb = data.substr(pos, size);
    return image;
}

inline testkit::CommandResult x_tool(std::vector<std::string> argv) {
    XServer::Instance();
    return testkit::run_command(argv, "", 15s);
}

inline std::string trim(std::string s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.pop_back();
    return s;
}

// Asks the window to close as a window manager does (WM_DELETE_WINDOW).
inline bool send_delete_window(unsigned long window) {
    void* x11 = dlopen("libX11.so.6", RTLD_NOW);
    if (!x11) return false;
    auto open_display = reinterpret_cast<Display* (*)(const char*)>(dlsym(x11, "XOpenDisplay"));
    auto intern_atom = reinterpret_cast<Atom (*)(Display*, const char*, Bool)>(dlsym(x11, "XInternAtom"));
    auto send_event = reinterpret_cast<Status (*)(Display*, Window, Bool, long, XEvent*)>(dlsym(x11, "XSendEvent"));
    auto flush = reinterpret_cast<int (*)(Display*)>(dlsym(x11, "XFlush"));
    auto close_display = reinterpret_cast<int (*)(Display*)>(dlsym(x11, "XCloseDisplay"));
    bool sent = false;
    if (open_display && intern_atom && send_event && flush && close_display) {
        if (Display* d = open_display(XServer::Instance().display().c_str())) {
            XEvent event{};
            event.xclient.type = ClientMessage;
            event.xclient.window = window;
            event.xclient.message_type = intern_atom(d, "WM_PROTOCOLS", False);
            event.xclient.format = 32;
            event.xclient.data.l[0] = static_cast<long>(intern_atom(d, "WM_DELETE_WINDOW", False));
            event.xclient.data.l[1] = CurrentTime;
            sent = send_event(d, window, False, NoEventMask, &event) != 0;
            flush(d);
            close_display(d);
        }
    }
    dlclose(x11);
    return sent;
}

// True when nothing listens on the port and it can be bound.
inline bool port_is_free(int port) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    a.sin_port = htons(static_cast<uint16_t>(port));
    bool free = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return free;
}

// build/vantrel running in a folder of its own; killed if a test leaves it running.
class App {
public:
    // The folder (with the hook scripts and the site) is `dir`.
    // `program` defaults to the built build/vantrel.
    explicit App(const testkit::TempDir& dir, std::string program = testkit::build_dir() + "/vantrel")
        : dir_(dir.path()), program_(std::move(program)) {
        XServer::Instance();
    }
    ~App() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    // An environment variable for the program (set before start).
    void set_env(const std::string& name, const std::string& value) { env_.emplace_back(name, value); }
    // Optional before start(): arguments after the program name, the folder it
    // starts in (default: the application folder), the home folder holding the
    // XDG folders (default: <folder>/home).
    std::vector<std::string> args;
    std::string cwd;
    std::string home;

    // Starts in `folder`, with its XDG folders under `home_folder` when one is given.
    void start_in(const std::string& folder, const std::string& home_folder = "") {
        cwd = folder;
        if (!home_folder.empty()) home = home_folder;
        start();
    }

    void start() {
        if (home.empty()) home = dir_ + "/home";
        testkit::make_dirs(home);
        log_ = dir_ + "/vantrel.log";
        status_log_ = dir_ + "/status.log";
        std::remove(status_log_.c_str());
        std::vector<char*> argv{program_.data()};
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir((cwd.empty() ? dir_ : cwd).c_str()) != 0) _exit(126);
            int out = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int devnull = open("/dev/null", O_RDONLY);
            dup2(devnull, 0);
            dup2(out, 1);
            dup2(out, 2);
            setenv("HOME", home.c_str(), 1);
            setenv("XDG_CACHE_HOME", (home + "/cache").c_str(), 1);
            setenv("XDG_DATA_HOME", (home + "/data").c_str(), 1);
            setenv("XDG_CONFIG_HOME", (home + "/config").c_str(), 1);
            setenv("GSETTINGS_BACKEND", "memory", 1);
            setenv("VANTREL_STATUS_LOG", status_log_.c_str(), 1);
            for (const auto& [name, value] : env_) setenv(name.c_str(), value.c_str(), 1);
            execv(program_.c_str(), argv.data());
            _exit(127);
        }
    }

    pid_t pid() const { return pid_; }
    std::string log() const { return testkit::read_file(log_); }
    // Every text the status bar has shown, one per line, with the find bar's counts
    // ("Find: ...") and the context menus' items ("Menu: ...") (the program's test hook).
    std::string status_texts() const { return testkit::read_file(status_log_); }
    // The text the status bar shows now (the last one it was given; the lines
    // of the error strip, the find bar and the menus, which share the log, skipped).
    std::string status_now() const {
        std::string texts = status_texts();
        std::string now;
        for (std::size_t start = 0; start < texts.size();) {
            std::size_t end = texts.find('\n', start);
            if (end == std::string::npos) end = texts.size();
            std::string line = texts.substr(start, end - start);
            start = end + 1;
            bool other = line.rfind("Errors", 0) == 0 || line.rfind("Find: ", 0) == 0 || line.rfind("Menu: ", 0) == 0;
            if (!other) now = line;
        }
        return now;
    }
    // Waits until the status bar has shown a text containing `part`.
    bool status_shows(const std::string& part, std::chrono::milliseconds limit = 10s) const {
        return eventually([&] { return status_texts().find(part) != std::string::npos; }, limit);
    }
    // The number of visible windows of the program (menus and dialogs included).
    int visible_windows() const {
        auto r = x_tool({"xdotool", "search", "--all", "--onlyvisible", "--pid", std::to_string(pid_), "--name", ""});
        int n = 0;
        for (char c : r.out) n += c == '\n';
        return n;
    }

    // The exit code once the program has ended within `limit`; nullopt if it is still running.
    std::optional<int> wait_exit(std::chrono::milliseconds limit = 10s) {
        if (pid_ <= 0) return exit_code_;
        auto end = Clock::now() + limit;
        int status = 0;
        for (;;) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) break;
            if (Clock::now() > end) return std::nullopt;
            std::this_thread::sleep_for(20ms);
        }
        pid_ = -1;
        exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return exit_code_;
    }

    void signal(int number) { kill(pid_, number); }

    // A visible window of this process whose title matches the regular expression.
    unsigned long find_window(const std::string& title_regex, std::chrono::milliseconds limit = 15s) {
        unsigned long found = 0;
        eventually(
            [&] {
                auto r = x_tool({"xdotool", "search", "--all", "--onlyvisible", "--pid", std::to_string(pid_), "--name",
                                 title_regex});
                found = std::strtoul(r.out.c_str(), nullptr, 10);
                return found != 0;
            },
            limit);
        return found;
    }

private:
    std::string dir_;
    std::string program_;
    std::string log_;
    std::string status_log_;
    std::vector<std::pair<std::string, std::string>> env_;
    pid_t pid_ = -1;
    std::optional<int> exit_code_;
};

// A session bus of its own for one test (single-instance applications).
class SessionBus {
public:
    SessionBus() {
        address_ = start_reporting_daemon(
            [](int fd) {
                return std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--nopidfile",
                                                "--print-address=" + std::to_string(fd)};
            },
            pid_);
        if (address_.empty()) throw std::runtime_error("dbus-daemon did not start");
    }
    ~SessionBus() { stop_daemon(pid_); }
    SessionBus(const SessionBus&) = delete;
    SessionBus& operator=(const SessionBus&) = delete;
    const std::string& address() const { return address_; }

private:
    pid_t pid_ = -1;
    std::string address_;
};

inline std::string window_title(unsigned long window) {
    return trim(x_tool({"xdotool", "getwindowname", std::to_string(window)}).out);
}

// A text property of the window as xprop shows it ("" when unset).
inline std::string window_property(unsigned long window, const std::string& name) {
    std::string out = x_tool({"xprop", "-id", std::to_string(window), name}).out;
    auto first = out.find('"'), last = out.rfind('"');
    return first == std::string::npos || last <= first ? "" : out.substr(first + 1, last - first - 1);
}

inline bool window_visible(unsigned long window) {
    auto r = x_tool({"xwininfo", "-id", std::to_string(window)});
    return r.exit_code == 0 && r.out.find("IsViewable") != std::string::npos;
}

inline std::optional<Image> screenshot(unsigned long window) {
    return parse_ppm(x_tool({"import", "-window", std::to_string(window), "-depth", "8", "ppm:-"}).out);
}

// Waits until the window's pixel at (x, y) has the colour.
inline bool wait_for_colour(unsigned long window, int x, int y, int r, int g, int b,
                            std::chrono::milliseconds limit = 10s) {
    return eventually(
        [&] {
            auto image = screenshot(window);
            return image && image->is(x, y, r, g, b);
        },
        limit);
}

// Keys typed into the window through the X test extension, as a user would;
// `keys` is one or more key names separated by blanks ("ctrl+l ctrl+a").
inline void press(unsigned long window, const std::string& keys) {
    x_tool({"xdotool", "mousemove", "--window", std::to_string(window), "20", "200"});
    x_tool({"xdotool", "windowfocus", "--sync", std::to_string(window)});
    std::vector<std::string> argv{"xdotool", "key", "--clearmodifiers"};
    std::size_t start = 0;
    while (start < keys.size()) {
        std::size_t end = keys.find(' ', start);
        if (end == std::string::npos) end = keys.size();
        if (end > start) argv.push_back(keys.substr(start, end - start));
        start = end + 1;
    }
    x_tool(argv);
}

// Opens the menu bar's menu by its mnemonic (alt+letter) or with F10, as a
// keyboard user does, and waits until it is drawn.
inline bool open_menu(App& app, unsigned long window, const std::string& keys) {
    int before = app.visible_windows();
    press(window, keys);
    return eventually([&] { return app.visible_windows() > before; }, 5s);
}

// The text on the clipboard (UTF-8), as a program asking for it gets it; ""
// when no program holds a text there within a few seconds.
inline std::string clipboard_text() {
    Display* d = XOpenDisplay(XServer::Instance().display().c_str());
    if (!d) throw std::runtime_error("cannot open the X display");
    Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
    Atom utf8 = XInternAtom(d, "UTF8_STRING", False), property = XInternAtom(d, "VANTREL_TEST_PASTE", False);
    XConvertSelection(d, XInternAtom(d, "CLIPBOARD", False), utf8, property, w, CurrentTime);
    XFlush(d);
    std::string text;
    auto end = Clock::now() + 5s;
    for (bool answered = false; !answered && Clock::now() < end;) {
        while (XPending(d) > 0) {
            XEvent event;
            XNextEvent(d, &event);
            if (event.type != SelectionNotify) continue;
            answered = true;
            if (event.xselection.property == None) break;
            Atom type;
            int format;
            unsigned long count, after;
            unsigned char* data = nullptr;
            if (XGetWindowProperty(d, w, property, 0, 1 << 20, True, AnyPropertyType, &type, &format, &count, &after,
                                   &data) == Success && data) {
                text.assign(reinterpret_cast<char*>(data), count);
                XFree(data);
            }
        }
        std::this_thread::sleep_for(20ms);
    }
    XDestroyWindow(d, w);
    XCloseDisplay(d);
    return text;
}

// The text of the page in the window as a user copies it: select all, copy.
inline std::string page_text(unsigned long window) {
    press(window, "ctrl+a ctrl+c");
    return clipboard_text();
}

inline void type_text(unsigned long window, const std::string& text) {
    x_tool({"xdotool", "windowfocus", "--sync", std::to_string(window)});
    x_tool({"xdotool", "type", "--delay", "20", text});
}

inline void click(unsigned long window, int x, int y, int button = 1) {
    x_tool({"xdotool", "mousemove", "--window", std::to_string(window), std::to_string(x), std::to_string(y),
            "click", std::to_string(button)});
}

}  // namespace desktop
