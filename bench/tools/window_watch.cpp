// Times what a person sees on an X display: when a window with a given title
// becomes visible, and when a part of it shows its final picture. Scripts
// take the start time just before they act (start a program, press a key)
// and hand it over; the waits here poll the X server every couple of
// milliseconds, far finer than xdotool's half-second --sync.
//
//   window_watch shown <title regex> <start ns> <timeout ms>
//       prints "<window id> <ms to visible>"
//   window_watch painted <title regex> <start ns> <timeout ms> [options]
//       prints "<window id> <ms to visible> <ms to final picture> <hash>"
//     --area x,y,w,h     the part of the window watched (default: all of it)
//     --quiet ms         how long a picture must stay to be final (500)
//     --min-light pct    share of light pixels a painted picture has (0)
//     --min-dark n       dark pixels a painted picture has at least (0)
//     --mark x,y,w,h,n   a second part that must hold n dark pixels, such as
//                        a status line that has text only once the work is done
//     --not hash         the picture before the action, which never counts
//   window_watch hash <window id> x,y,w,h
//       prints the hash of that part of the window now
//   window_watch answers <window id> <start ns> <timeout ms>
//       prints "<ms to idle>": from when the program behind the window
//       answers promptly for good. It is asked (_NET_WM_PING, which its event
//       loop answers) over and over; a busy program answers only when its
//       handler returns. Needs the root window's redirect: no window manager.
//
// Start times are CLOCK_REALTIME nanoseconds, as `date +%s%N` gives them.
// A part's width or height of 0 reaches to the window's edge.
//
// "Final picture": the watched part is the same for the quiet time on end
// and passes the checks above, so that a window that is mapped but not
// painted yet, or still shows what it showed before, does not count; the
// time reported is when that picture first appeared.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <regex.h>
#include <string>
#include <unistd.h>

namespace {

constexpr int kPollMicroseconds = 2000;
// Grey levels (0-255) of what counts as a background and as text. Light is
// below pure white: some styles give list rows a faint tint.
constexpr unsigned long kLight = 235;
constexpr unsigned long kDark = 110;

int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

double msSince(int64_t startNs, int64_t ns) {
    return static_cast<double>(ns - startNs) / 1e6;
}

// Windows come and go while we look; a window that vanished between two
// calls is not an error here.
int ignoreErrors(Display*, XErrorEvent*) {
    return 0;
}

std::string windowTitle(Display* dpy, Window w) {
    static const Atom netName = XInternAtom(dpy, "_NET_WM_NAME", False);
    static const Atom utf8 = XInternAtom(dpy, "UTF8_STRING", False);
    Atom type = None;
    int format = 0;
    unsigned long items = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    std::string title;
    if (XGetWindowProperty(dpy, w, netName, 0, 1024, False, utf8, &type, &format, &items, &after,
                           &data) == Success &&
        data) {
        title.assign(reinterpret_cast<char*>(data), items);
        XFree(data);
        if (!title.empty())
            return title;
    }
    char* name = nullptr;
    if (XFetchName(dpy, w, &name) && name) {
        title = name;
        XFree(name);
    }
    return title;
}

bool viewable(Display* dpy, Window w, XWindowAttributes* attrs) {
    return XGetWindowAttributes(dpy, w, attrs) && attrs->map_state == IsViewable;
}

// A visible top-level window whose title matches, or None. Without a window
// manager the programs' windows are children of the root.
Window findVisible(Display* dpy, const regex_t& title) {
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    Window found = None;
    if (!XQueryTree(dpy, DefaultRootWindow(dpy), &root, &parent, &children, &count))
        return None;
    for (unsigned int i = count; i-- > 0 && found == None;) { // topmost first
        XWindowAttributes attrs;
        if (!viewable(dpy, children[i], &attrs))
            continue;
        if (regexec(&title, windowTitle(dpy, children[i]).c_str(), 0, nullptr, 0) == 0)
            found = children[i];
    }
    if (children)
        XFree(children);
    return found;
}

struct Area {
    int x = 0;
    int y = 0;
    int w = 0;
    int h = 0;
};

struct Picture {
    bool ok = false;
    uint64_t hash = 0;
    long light = 0;
    long dark = 0;
    long pixels = 0;
};

// The region's pixels as the screen shows them now: an FNV-1a hash and how
// many are white or dark.
Picture grab(Display* dpy, Window w, Area r) {
    Picture p;
    XWindowAttributes attrs;
    if (!viewable(dpy, w, &attrs))
        return p;
    const int x = std::min(r.x, attrs.width - 1);
    const int y = std::min(r.y, attrs.height - 1);
    const int width = r.w > 0 ? std::min(r.w, attrs.width - x) : attrs.width - x;
    const int height = r.h > 0 ? std::min(r.h, attrs.height - y) : attrs.height - y;
    if (x < 0 || y < 0 || width <= 0 || height <= 0)
        return p;
    XImage* image = XGetImage(dpy, w, x, y, static_cast<unsigned>(width),
                              static_cast<unsigned>(height), AllPlanes, ZPixmap);
    if (!image)
        return p;
    uint64_t hash = 1469598103934665603ull;
    for (int row = 0; row < height; ++row) {
        for (int col = 0; col < width; ++col) {
            const unsigned long pixel = XGetPixel(image, col, row);
            hash = (hash ^ pixel) * 1099511628211ull;
            const unsigned long red = (pixel >> 16) & 0xff;
            const unsigned long green = (pixel >> 8) & 0xff;
            const unsigned long blue = pixel & 0xff;
            const unsigned long light = (red * 30 + green * 59 + blue * 11) / 100;
            if (light >= kLight)
                ++p.light;
            else if (light < kDark)
                ++p.dark;
        }
    }
    XDestroyImage(image);
    p.ok = true;
    p.hash = hash;
    p.pixels = static_cast<long>(width) * height;
    return p;
}

Window waitVisible(Display* dpy, const regex_t& title, int64_t deadlineNs, int64_t* seenNs) {
    for (;;) {
        const Window w = findVisible(dpy, title);
        const int64_t t = nowNs();
        if (w != None) {
            *seenNs = t;
            return w;
        }
        if (t > deadlineNs)
            return None;
        usleep(kPollMicroseconds);
    }
}

bool compileTitle(const char* pattern, regex_t* title) {
    if (regcomp(title, pattern, REG_EXTENDED | REG_NOSUB) == 0)
        return true;
    std::fprintf(stderr, "window_watch: bad title pattern %s\n", pattern);
    return false;
}

int usage() {
    std::fprintf(stderr, "usage: window_watch shown <title regex> <start ns> <timeout ms>\n"
                         "       window_watch painted <title regex> <start ns> <timeout ms> "
                         "[--area x,y,w,h] [--quiet ms] [--min-light pct] [--min-dark n] "
                         "[--mark x,y,w,h,n] [--not hash]\n"
                         "       window_watch hash <window id> x,y,w,h\n"
                         "       window_watch answers <window id> <start ns> <timeout ms>\n");
    return 2;
}

// "x,y,w,h" or, with a count, "x,y,w,h,n".
bool parseArea(const char* text, Area* area, long* count) {
    int n = 0;
    long c = 0;
    const int got =
        std::sscanf(text, "%d,%d,%d,%d,%ld%n", &area->x, &area->y, &area->w, &area->h, &c, &n);
    if (count) {
        *count = c;
        return got == 5 && text[n] == '\0';
    }
    return got == 4;
}

struct Options {
    Area area;
    int64_t quietNs = 500'000'000;
    long minLightPercent = 0;
    long minDark = 0;
    bool haveMark = false;
    Area mark;
    long markDark = 0;
    bool haveBefore = false;
    uint64_t before = 0;
};

bool parseOptions(int argc, char** argv, Options* o) {
    for (int i = 0; i < argc; i += 2) {
        if (i + 1 >= argc)
            return false;
        const std::string name = argv[i];
        const char* value = argv[i + 1];
        if (name == "--area") {
            if (!parseArea(value, &o->area, nullptr))
                return false;
        } else if (name == "--quiet") {
            o->quietNs = std::strtoll(value, nullptr, 10) * 1'000'000;
        } else if (name == "--min-light") {
            o->minLightPercent = std::atol(value);
        } else if (name == "--min-dark") {
            o->minDark = std::atol(value);
        } else if (name == "--mark") {
            o->haveMark = parseArea(value, &o->mark, &o->markDark);
            if (!o->haveMark)
                return false;
        } else if (name == "--not") {
            o->haveBefore = true;
            o->before = std::strtoull(value, nullptr, 16);
        } else {
            return false;
        }
    }
    return true;
}

// Asks the program behind `w` to answer, as a window manager does, and waits
// for the answer until `deadlineNs`. Returns when it was sent, or -1.
int64_t ping(Display* dpy, Window w, int64_t deadlineNs, int64_t* answeredNs) {
    static const Atom protocols = XInternAtom(dpy, "WM_PROTOCOLS", False);
    static const Atom netPing = XInternAtom(dpy, "_NET_WM_PING", False);
    const Window root = DefaultRootWindow(dpy);
    XEvent ask{};
    ask.xclient.type = ClientMessage;
    ask.xclient.window = w;
    ask.xclient.message_type = protocols;
    ask.xclient.format = 32;
    ask.xclient.data.l[0] = static_cast<long>(netPing);
    ask.xclient.data.l[1] = CurrentTime;
    ask.xclient.data.l[2] = static_cast<long>(w);
    const int64_t sentNs = nowNs();
    XSendEvent(dpy, w, False, NoEventMask, &ask);
    XFlush(dpy);
    // The answer is the same message, sent to the root window.
    while (nowNs() < deadlineNs) {
        while (XPending(dpy)) {
            XEvent e;
            XNextEvent(dpy, &e);
            if (e.type == ClientMessage && e.xclient.window == root &&
                static_cast<Atom>(e.xclient.data.l[0]) == netPing &&
                static_cast<Window>(e.xclient.data.l[2]) == w) {
                *answeredNs = nowNs();
                return sentNs;
            }
        }
        usleep(200);
    }
    return -1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2)
        return usage();
    const std::string mode = argv[1];
    Options options;
    if (mode == "hash") {
        if (argc != 4 || !parseArea(argv[3], &options.area, nullptr))
            return usage();
    } else if (mode == "shown") {
        if (argc != 5)
            return usage();
    } else if (mode == "painted") {
        if (argc < 5 || !parseOptions(argc - 5, argv + 5, &options))
            return usage();
    } else if (mode == "answers") {
        if (argc != 5)
            return usage();
    } else {
        return usage();
    }

    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) {
        std::fprintf(stderr, "window_watch: cannot open the display\n");
        return 1;
    }
    XSetErrorHandler(ignoreErrors);

    if (mode == "hash") {
        const Window w = static_cast<Window>(std::strtoul(argv[2], nullptr, 0));
        const Picture p = grab(dpy, w, options.area);
        if (!p.ok)
            return 1;
        std::printf("%016llx\n", static_cast<unsigned long long>(p.hash));
        return 0;
    }

    if (mode == "answers") {
        const Window w = static_cast<Window>(std::strtoul(argv[2], nullptr, 0));
        const int64_t startNs = std::strtoll(argv[3], nullptr, 10);
        const int64_t deadlineNs = nowNs() + std::strtoll(argv[4], nullptr, 10) * 1'000'000;
        XSelectInput(dpy, DefaultRootWindow(dpy),
                     SubstructureRedirectMask | SubstructureNotifyMask);
        XSync(dpy, False);
        // Idle: every answer within 20 ms of asking, for a whole second. A
        // program may return to its event loop once (to paint a header, say)
        // before it starts the long work, so one prompt answer is not enough.
        // The time reported is when the first question of that idle second
        // was asked: the first moment the program was free for good.
        constexpr int64_t kPromptNs = 20'000'000;
        constexpr int64_t kIdleNs = 1'000'000'000;
        int64_t idleSince = -1;
        for (;;) {
            int64_t answeredNs = 0;
            const int64_t sentNs = ping(dpy, w, deadlineNs, &answeredNs);
            if (sentNs < 0) {
                std::fprintf(stderr, "window_watch: window 0x%lx did not answer in time\n", w);
                return 1;
            }
            if (answeredNs - sentNs > kPromptNs) {
                idleSince = -1;
                continue;
            }
            if (idleSince < 0)
                idleSince = sentNs;
            if (answeredNs - idleSince >= kIdleNs) {
                std::printf("%.1f\n", msSince(startNs, idleSince));
                return 0;
            }
            usleep(kPollMicroseconds);
        }
    }

    regex_t title;
    if (!compileTitle(argv[2], &title))
        return 2;
    const int64_t startNs = std::strtoll(argv[3], nullptr, 10);
    const int64_t deadlineNs = nowNs() + std::strtoll(argv[4], nullptr, 10) * 1'000'000;

    int64_t shownNs = 0;
    const Window w = waitVisible(dpy, title, deadlineNs, &shownNs);
    if (w == None) {
        std::fprintf(stderr, "window_watch: no visible window titled /%s/ in time\n", argv[2]);
        return 1;
    }
    if (mode == "shown") {
        std::printf("0x%lx %.1f\n", w, msSince(startNs, shownNs));
        return 0;
    }

    uint64_t current = 0;
    int64_t currentSince = 0;
    bool haveCurrent = false;
    for (;;) {
        const Picture p = grab(dpy, w, options.area);
        const int64_t t = nowNs();
        if (p.ok && (!haveCurrent || p.hash != current)) {
            current = p.hash;
            currentSince = t;
            haveCurrent = true;
        }
        bool looksPainted = p.ok && p.light * 100 >= options.minLightPercent * p.pixels &&
                            p.dark >= options.minDark &&
                            !(options.haveBefore && p.hash == options.before);
        if (looksPainted && options.haveMark) {
            const Picture m = grab(dpy, w, options.mark);
            looksPainted = m.ok && m.dark >= options.markDark;
        }
        if (looksPainted && t - currentSince >= options.quietNs) {
            std::printf("0x%lx %.1f %.1f %016llx\n", w, msSince(startNs, shownNs),
                        msSince(startNs, currentSince), static_cast<unsigned long long>(current));
            return 0;
        }
        if (t > deadlineNs) {
            std::fprintf(stderr,
                         "window_watch: window 0x%lx did not settle on a painted picture in time "
                         "(light %ld, dark %ld of %ld pixels)\n",
                         w, p.light, p.dark, p.pixels);
            return 1;
        }
        usleep(kPollMicroseconds);
    }
}
