// The X11 agent's applications: desktop entries in private data folders,
// launched, found running, brought forward, previewed, closed and killed.
#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <gdk-pixbuf/gdk-pixbuf.h>

#include "apps/catalog.h"
#include "harness.h"
#include "hostile_desktop.h"
#include "host/failure.h"
#include "support/pictures.h"
#include "support/response_check.h"

// Xlib last: its macros (None, Bool, True) clash with the headers above.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>

namespace {

namespace fs = std::filesystem;
using boost::json::object;
using x11test::Agent;
using x11test::desktop;
using x11test::waitFor;
using x11test::near;
using x11test::text;

void write(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << content;
}

void writePng(const fs::path& path, int width, int height, uint32_t rgba) {
    fs::create_directories(path.parent_path());
    GdkPixbuf* pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, width, height);
    gdk_pixbuf_fill(pixbuf, rgba);
    gdk_pixbuf_save(pixbuf, path.c_str(), "png", nullptr, nullptr);
    g_object_unref(pixbuf);
}

// An icon answer's picture: its side and the RGBA of its centre.
struct Icon {
    int width = 0, height = 0;
    std::array<int, 4> centre{};
};

Icon decodeIcon(const object& response) {
    Icon icon;
    if (!response.contains("icon")) return icon;
    const auto png = testing_support::base64Decode(text(response.at("icon").at("data")));
    GdkPixbufLoader* loader = gdk_pixbuf_loader_new_with_type("png", nullptr);
    if (gdk_pixbuf_loader_write(loader, png.data(), png.size(), nullptr) && gdk_pixbuf_loader_close(loader, nullptr)) {
        GdkPixbuf* pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
        icon.width = gdk_pixbuf_get_width(pixbuf);
        icon.height = gdk_pixbuf_get_height(pixbuf);
        if (gdk_pixbuf_get_n_channels(pixbuf) == 4) {
            const guchar* p = gdk_pixbuf_read_pixels(pixbuf) + (icon.height / 2) * gdk_pixbuf_get_rowstride(pixbuf) +
                              (icon.width / 2) * 4;
            icon.centre = {p[0], p[1], p[2], p[3]};
        }
    }
    g_object_unref(loader);
    return icon;
}

// The XSETTINGS property bytes (least significant byte first) of one string setting.
std::string xsettingsProperty(const std::string& name, const std::string& value) {
    std::string bytes;
    const auto card32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((v >> (8 * i)) & 0xff));
    };
    const auto padded = [&](const std::string& text) {
        bytes += text;
        bytes.append((4 - text.size() % 4) % 4, '\0');
    };
    bytes += std::string("\0\0\0\0", 4);  // LSBFirst and three unused
    card32(1);                              // serial
    card32(1);                              // one setting
    bytes.push_back(1);                     // a string
    bytes.push_back(0);
    bytes.push_back(static_cast<char>(name.size() & 0xff));
    bytes.push_back(static_cast<char>(name.size() >> 8));
    padded(name);
    card32(0);  // last change
    card32(static_cast<uint32_t>(value.size()));
    padded(value);
    return bytes;
}

// The lines "key<TAB>value" of a helper's output file.
std::map<std::string, std::string> tabbedLines(const fs::path& file) {
    std::map<std::string, std::string> lines;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        const auto tab = line.find('\t');
        if (tab != std::string::npos) lines[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return lines;
}


// The RGB of a preview's centre.
std::array<int, 3> previewCentre(const object& response) {
    const x11test::Picture picture = x11test::decodePayload(response.at("preview"));
    if (picture.rgb.empty()) return {-1, -1, -1};
    return picture.at(picture.width / 2, picture.height / 2);
}

// Ended: gone, or a zombie nobody has reaped yet.
bool ended(pid_t pid) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return close == std::string::npos || (close + 2 < line.size() && line[close + 2] == 'Z');
}

// The pid of the client that made the window, as the X server knows it; -1 when it cannot tell.
pid_t serverPid(Display* dpy, Window window) {
    XResClientIdSpec wanted{window, XRES_CLIENT_ID_PID_MASK};
    long count = 0;
    XResClientIdValue* values = nullptr;
    pid_t pid = -1;
    if (XResQueryClientIds(dpy, 1, &wanted, &count, &values) == Success) {
        for (long i = 0; i < count; ++i) pid = std::max(pid, XResGetClientPid(&values[i]));
    }
    if (values != nullptr) XResClientIdsDestroy(count, values);
    return pid;
}

// A mapped child of the root window with this title, 0 when there is none
// (what an application shows when no window manager runs).
Window topLevel(Display* dpy, const std::string& title) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    Window found = 0;
    if (XQueryTree(dpy, DefaultRootWindow(dpy), &root, &parent, &children, &count) != 0 && children != nullptr) {
        for (unsigned int i = 0; i < count && found == 0; ++i) {
            XWindowAttributes attributes{};
            char* name = nullptr;
            if (XGetWindowAttributes(dpy, children[i], &attributes) != 0 && attributes.map_state == IsViewable &&
                XFetchName(dpy, children[i], &name) != 0 && name != nullptr && title == name) {
                found = children[i];
            }
            if (name != nullptr) XFree(name);
        }
        XFree(children);
    }
    return found;
}

// Covers the window, and a margin around it, with an opaque red one.
Window cover(Display* dpy, Window window) {
    XWindowAttributes attributes{};
    XGetWindowAttributes(dpy, window, &attributes);
    int x = 0, y = 0;
    Window child = 0;
    XTranslateCoordinates(dpy, window, DefaultRootWindow(dpy), 0, 0, &x, &y, &child);
    XSetWindowAttributes cover{};
    cover.override_redirect = True;
    cover.background_pixel = 0xff0000;
    const Window red = XCreateWindow(dpy, DefaultRootWindow(dpy), x - 20, y - 20, attributes.width + 40,
                                     attributes.height + 40, 0, CopyFromParent, InputOutput, CopyFromParent,
                                     CWOverrideRedirect | CWBackPixel, &cover);
    XMapRaised(dpy, red);
    XSync(dpy, False);
    return red;
}

// Covers the window with another and expects the application's preview to
// show the window's own colour in its middle all the same.
void expectCoveredPreview(Display* dpy, Window window, const std::function<object(const std::string&)>& ask,
                          const std::string& appId, std::array<int, 3> colour) {
    const Window red = cover(dpy, window);
    std::array<int, 3> centre{};
    EXPECT_TRUE(waitFor([&] {
        const object response = ask(R"({"id":"p","operation":"apps.preview","appId":")" + appId + "\"}");
        if (response.at("ok") != true) return false;
        centre = previewCentre(response);
        return near(centre, colour);
    }, 10)) << centre[0] << "," << centre[1] << "," << centre[2];
    XDestroyWindow(dpy, red);
    XSync(dpy, False);
}

std::string firstLine(const std::string& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// The fields of /proc/PID/stat after the program name: [0] is the state, [1] the parent, [3] the session.
std::vector<std::string> statFields(pid_t pid) {
    const std::string line = firstLine("/proc/" + std::to_string(pid) + "/stat");
    std::vector<std::string> fields;
    const auto close = line.rfind(')');
    if (close == std::string::npos) return fields;
    std::istringstream rest(line.substr(close + 1));
    for (std::string field; rest >> field;) fields.push_back(field);
    return fields;
}

class X11Apps : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (x11test::agentPath().empty()) return;
        data_ = desktop().dir() + "/apps";
        const fs::path home = data_ / "home" / "applications";
        const fs::path system = data_ / "system" / "applications";
        const fs::path icons = data_ / "home" / "icons" / "hicolor";
        write(icons / "index.theme",
              "[Icon Theme]\nName=Hicolor\nDirectories=48x48/apps,scalable/apps\n\n"
              "[48x48/apps]\nSize=48\nType=Threshold\n\n[scalable/apps]\nSize=64\nMinSize=8\nMaxSize=512\nType=Scalable\n");
        writePng(icons / "48x48" / "apps" / "red-square.png", 48, 48, 0xff0000ff);
        write(icons / "scalable" / "apps" / "blue-square.svg",
              "<svg xmlns='http://www.w3.org/2000/svg' width='10' height='10'>"
              "<rect width='10' height='10' fill='#0000ff'/></svg>");
        const auto entry = [](const std::string& name, const std::string& more) {
            return "[Desktop Entry]\nType=Application\nName=" + name + "\n" + more;
        };
        const std::string app = "Exec=/usr/bin/python3 " BRINDLECAST_X11_SCRIPTS "/color_app.py ";
        write(home / "png.desktop", entry("Png", "Exec=true\nIcon=red-square\n"));
        write(system / "svg.desktop", entry("Svg", "Exec=true\nIcon=blue-square\n"));
        write(system / "plain.desktop", entry("Plain", "Exec=true\n"));
        write(home / "hidden.desktop", entry("Hidden", "Exec=true\nHidden=true\n"));
        write(system / "quiet.desktop", entry("Quiet", "Exec=true\nNoDisplay=true\n"));
        write(home / "shadowed.desktop", entry("Mine", "Exec=true\n"));
        write(system / "shadowed.desktop", entry("Theirs", "Exec=true\n"));
        // Never offered: a terminal, an entry run in one, and entries starting a
        // blocked program (a terminal) or a protected screen's (a locker), whatever their ids.
        write(system / "vim.desktop", entry("InTerminal", "Exec=true\nTerminal=true\n"));
        write(system / "Alacritty.desktop", entry("Alacritty", "Exec=true\nCategories=System;TerminalEmulator;\n"));
        for (const char* program : {"xterm", "i3lock"}) {
            const fs::path path = data_ / "bin" / program;
            write(path, "#!/bin/sh\n");
            fs::permissions(path, fs::perms::owner_all);
            write(system / (std::string("my-") + program + ".desktop"), entry(program, "Exec=" + path.string() + " -x\n"));
        }
        write(system / "green.desktop", entry("Green", app + "brindlecast-green 00c000\n"));
        write(system / "blue.desktop", entry("Blue", app + "brindlecast-blue 0000c0\n"));
        // A program that writes to its streams and stays.
        write(data_ / "detached.sh", "echo $$ > " + (data_ / "detached.pid").string() +
                                         "\necho '{\"id\":\"forged\",\"ok\":true}'\necho complaint >&2\nexec sleep 60\n");
        write(system / "detached.desktop", entry("Detached", "Exec=/bin/sh " + (data_ / "detached.sh").string() + "\n"));
        // xeyes names no pid of its own (_NET_WM_PID).
        write(system / "eyes.desktop", entry("Eyes", "Exec=xeyes\nStartupWMClass=XEyes\n"));
        write(system / "undying.desktop", entry("Undying", "Exec=true\nStartupWMClass=Undying\n"));
        // The desktop's text window, started without GIO, is found by its WM_CLASS.
        if (Display* dpy = XOpenDisplay(desktop().display().c_str())) {
            Window root = 0, parent = 0, *children = nullptr;
            unsigned int count = 0;
            std::vector<Window> stack{DefaultRootWindow(dpy)};
            std::string wmClass;
            while (!stack.empty() && wmClass.empty()) {
                const Window window = stack.back();
                stack.pop_back();
                char* name = nullptr;
                if (XFetchName(dpy, window, &name) != 0 && name != nullptr &&
                    std::string(name) == "Brindlecast text test") {
                    XClassHint hint{};
                    if (XGetClassHint(dpy, window, &hint) != 0) {
                        wmClass = hint.res_class;
                        XFree(hint.res_name);
                        XFree(hint.res_class);
                    }
                }
                if (name != nullptr) XFree(name);
                if (XQueryTree(dpy, window, &root, &parent, &children, &count) != 0 && children != nullptr) {
                    stack.insert(stack.end(), children, children + count);
                    XFree(children);
                }
            }
            XCloseDisplay(dpy);
            write(system / "text.desktop", entry("Text", "Exec=true\nStartupWMClass=" + wmClass + "\n"));
        }
        // Icon themes: the user's "Chosen" (through XSETTINGS) inherits "Middle",
        // which inherits hicolor; "Other" is installed and has every icon.
        // Each icon file has a colour of its own.
        const fs::path homeIcons = data_ / "home" / "icons";
        const fs::path systemIcons = data_ / "system" / "icons";
        write(homeIcons / "Chosen" / "index.theme",
              "[Icon Theme]\nName=Chosen\nInherits=Middle\nDirectories=48x48/apps,16x16/apps,256x256/apps\n\n"
              "[48x48/apps]\nSize=48\nType=Threshold\n\n[16x16/apps]\nSize=16\nType=Fixed\n\n"
              "[256x256/apps]\nSize=256\nType=Fixed\n");
        write(systemIcons / "Middle" / "index.theme",
              "[Icon Theme]\nName=Middle\nInherits=hicolor\nDirectories=48x48/apps\n\n[48x48/apps]\nSize=48\nType=Threshold\n");
        write(systemIcons / "Other" / "index.theme",
              "[Icon Theme]\nName=Other\nDirectories=48x48/apps\n\n[48x48/apps]\nSize=48\nType=Threshold\n");
        int colours = 0;
        const auto themed = [&](const fs::path& file) {
            const int n = ++colours;
            const std::array<int, 4> rgba{(n * 37) % 256, 255 - n * 13, (n * 71) % 200, 255};
            writePng(file, 48, 48, (uint32_t(rgba[0]) << 24) | (uint32_t(rgba[1]) << 16) | (uint32_t(rgba[2]) << 8) | 0xff);
            iconColours_[fs::absolute(file).lexically_normal().string()] = rgba;
        };
        for (const std::string name : {"theme-first", "from-parent", "from-hicolor", "from-base", "from-pixmaps", "nearest"}) {
            write(system / ("icon-" + name + ".desktop"), entry("Icon " + name, "Exec=true\nIcon=" + name + "\n"));
            themedEntries_.push_back((system / ("icon-" + name + ".desktop")).string());
            themed(systemIcons / "Other" / "48x48" / "apps" / (name + ".png"));
        }
        themed(homeIcons / "Chosen" / "48x48" / "apps" / "theme-first.png");
        themed(homeIcons / "hicolor" / "48x48" / "apps" / "theme-first.png");
        themed(systemIcons / "Middle" / "48x48" / "apps" / "from-parent.png");
        themed(homeIcons / "hicolor" / "48x48" / "apps" / "from-hicolor.png");
        themed(homeIcons / "from-base.png");
        themed(data_ / "system" / "pixmaps" / "from-pixmaps.png");
        themed(homeIcons / "Chosen" / "16x16" / "apps" / "nearest.png");
        themed(homeIcons / "Chosen" / "256x256" / "apps" / "nearest.png");
        // A name given with its extension (GIO drops it), and an absolute path.
        write(system / "icon-withext.desktop", entry("Icon withext", "Exec=true\nIcon=from-hicolor.png\n"));
        write(system / "icon-absolute.desktop",
              entry("Icon absolute", "Exec=true\nIcon=" + (systemIcons / "Other" / "48x48" / "apps" / "nearest.png").string() + "\n"));
        themedEntries_.push_back((system / "icon-withext.desktop").string());
        themedEntries_.push_back((system / "icon-absolute.desktop").string());
        // The user's theme, as a settings manager announces it.
        settingsOwner_ = XOpenDisplay(desktop().display().c_str());
        if (settingsOwner_ != nullptr) {
            const Window owner = XCreateSimpleWindow(settingsOwner_, DefaultRootWindow(settingsOwner_), -10, -10, 1, 1, 0, 0, 0);
            XSetSelectionOwner(settingsOwner_, XInternAtom(settingsOwner_, "_XSETTINGS_S0", False), owner, CurrentTime);
            const Atom settings = XInternAtom(settingsOwner_, "_XSETTINGS_SETTINGS", False);
            const std::string bytes = xsettingsProperty("Net/IconThemeName", "Chosen");
            XChangeProperty(settingsOwner_, owner, settings, settings, 8, PropModeReplace,
                            reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
            XSync(settingsOwner_, False);
        }
        agent_ = std::make_unique<Agent>(desktop(), std::vector<std::string>{
            "XDG_DATA_HOME=" + (data_ / "home").string(), "XDG_DATA_DIRS=" + (data_ / "system").string()});
    }
    static void TearDownTestSuite() {
        if (!agent_) return;
        const std::string errors = agent_->errors();
        agent_.reset();
        if (settingsOwner_ != nullptr) XCloseDisplay(settingsOwner_);
        settingsOwner_ = nullptr;
        EXPECT_EQ(errors, "") << "the agent, or an application it launched, wrote to standard error";
    }

    void SetUp() override {
        if (!agent_) GTEST_SKIP() << "no X11 agent: build BrindlecastNative-x11 or set BRINDLECAST_X11_AGENT";
        dpy_ = XOpenDisplay(desktop().display().c_str());
        ASSERT_NE(dpy_, nullptr);
        // Windows go while the tests read them: an error is no reason to end the test binary.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        desktop().setLogind({});
    }
    void TearDown() override {
        for (const pid_t pid : started_) {
            if (!ended(pid)) ::kill(pid, SIGKILL);
        }
        if (dpy_ != nullptr) XCloseDisplay(dpy_);
    }

    object ask(const std::string& line, double seconds = 20) {
        object response = agent_->ask(line, seconds);
        EXPECT_EQ(testing_support::responseProblem(boost::json::serialize(response),
                                                   brindlecast::platform::DesktopSystem::linuxX11),
                  "")
            << line;
        return response;
    }

    static std::string id(const std::string& relative) {
        return brindlecast::apps::applicationIdentifier(fs::canonical(data_ / relative).string());
    }

    // The listed applications by name.
    std::map<std::string, object> listed() {
        std::map<std::string, object> apps;
        const object response = ask(R"({"id":"l","operation":"apps.list"})");
        if (!response.contains("apps")) return apps;
        for (const auto& app : response.at("apps").as_array()) apps[text(app.at("name"))] = app.as_object();
        return apps;
    }

    object action(const std::string& appId, const std::string& what) {
        return ask(R"({"id":"a","operation":"apps.action","appId":")" + appId + R"(","appAction":")" + what + "\"}");
    }

    std::vector<unsigned long> property(Window window, const char* name, Atom type) {
        Atom actual = 0;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        std::vector<unsigned long> items;
        if (XGetWindowProperty(dpy_, window, XInternAtom(dpy_, name, False), 0, 1024, False, type, &actual, &format,
                               &count, &after, &data) == Success &&
            data != nullptr && format == 32) {
            const auto* values = reinterpret_cast<const unsigned long*>(data);
            items.assign(values, values + count);
        }
        if (data != nullptr) XFree(data);
        return items;
    }

    // The managed window with this title, 0 when there is none.
    Window managed(const std::string& title) {
        for (const unsigned long window : property(DefaultRootWindow(dpy_), "_NET_CLIENT_LIST", XA_WINDOW)) {
            char* name = nullptr;
            const bool match = XFetchName(dpy_, window, &name) != 0 && name != nullptr && title == name;
            if (name != nullptr) XFree(name);
            if (match) return window;
        }
        return 0;
    }

    // Launches an application by its entry and waits for its window; its pid.
    pid_t launch(const std::string& appId, const std::string& title, Window& window) {
        EXPECT_EQ(action(appId, "run").at("ok"), true);
        EXPECT_TRUE(waitFor([&] { return (window = managed(title)) != 0; }, 20)) << title;
        if (window == 0) return -1;
        const auto pid = property(window, "_NET_WM_PID", XA_CARDINAL);
        if (pid.empty()) return -1;
        started_.push_back(static_cast<pid_t>(pid.front()));
        return started_.back();
    }

    Window active() {
        const auto items = property(DefaultRootWindow(dpy_), "_NET_ACTIVE_WINDOW", XA_WINDOW);
        return items.empty() ? 0 : items.front();
    }

    static inline fs::path data_;
    static inline std::map<std::string, std::array<int, 4>> iconColours_;  // by icon file
    static inline std::vector<std::string> themedEntries_;
    static inline Display* settingsOwner_ = nullptr;
    static inline std::unique_ptr<Agent> agent_;
    Display* dpy_ = nullptr;
    std::vector<pid_t> started_;
};

TEST_F(X11Apps, DesktopEntriesAreListedWithTheirIcons) {
    const auto apps = listed();
    std::set<std::string> names;
    for (const auto& [name, app] : apps) names.insert(name);
    // Hidden and NoDisplay entries, terminals and a locker are left out; the
    // user's entry shadows the system one.
    std::set<std::string> expected{"Blue", "Detached", "Eyes", "Green", "Mine", "Plain", "Png", "Svg", "Text", "Undying"};
    for (const auto& entry : themedEntries_) {
        const std::string file = fs::path(entry).stem().string();
        expected.insert("Icon " + file.substr(5));
    }
    EXPECT_EQ(names, expected);
    ASSERT_TRUE(apps.contains("Text"));
    EXPECT_EQ(apps.at("Text").at("running"), true);
    ASSERT_TRUE(apps.contains("Png") && apps.contains("Mine"));
    EXPECT_EQ(text(apps.at("Png").at("id")), id("home/applications/png.desktop"));
    EXPECT_EQ(text(apps.at("Mine").at("id")), id("home/applications/shadowed.desktop"));
    EXPECT_EQ(apps.at("Png").at("running"), false);
    EXPECT_EQ(apps.at("Png").at("capabilities").at("close"), true);

    const auto icon = [&](const std::string& relative) {
        return decodeIcon(ask(R"({"id":"i","operation":"apps.icon","appId":")" + id(relative) + "\"}"));
    };
    const Icon png = icon("home/applications/png.desktop");
    EXPECT_EQ(png.width, 96);
    EXPECT_EQ(png.height, 96);
    EXPECT_EQ(png.centre, (std::array<int, 4>{255, 0, 0, 255}));
    const Icon svg = icon("system/applications/svg.desktop");
    EXPECT_EQ(svg.width, 96);
    EXPECT_EQ(svg.centre, (std::array<int, 4>{0, 0, 255, 255}));
    // No icon: the generic one, opaque in its middle.
    const Icon plain = icon("system/applications/plain.desktop");
    EXPECT_EQ(plain.width, 96);
    EXPECT_EQ(plain.centre[3], 255);

    const object hidden = ask(R"({"id":"h","operation":"apps.icon","appId":")" + id("home/applications/hidden.desktop") + "\"}");
    EXPECT_EQ(hidden.at("ok"), false);
    EXPECT_EQ(text(hidden.at("code")), brindlecast::failures::appNotInCatalog.code);
}

TEST_F(X11Apps, IconsAreTheOnesGtkPicks) {
    // GTK 3 on the same desktop and folders says which file each entry's icon is.
    const fs::path out = data_ / "gtk-icons.txt";
    std::vector<std::string> argv{"/usr/bin/python3", BRINDLECAST_X11_SCRIPTS "/gtk_icons.py", out.string()};
    argv.insert(argv.end(), themedEntries_.begin(), themedEntries_.end());
    auto env = desktop().environment();
    env.push_back("XDG_DATA_HOME=" + (data_ / "home").string());
    env.push_back("XDG_DATA_DIRS=" + (data_ / "system").string());
    ASSERT_EQ(x11test::run(argv, env, 60), 0);
    const auto gtk = tabbedLines(out);
    // GTK read the theme from the same settings.
    ASSERT_EQ(gtk.count("theme"), 1u);
    EXPECT_EQ(gtk.at("theme"), "Chosen");
    for (const auto& entry : themedEntries_) {
        ASSERT_TRUE(gtk.contains(entry)) << entry;
        const std::string file = fs::path(gtk.at(entry)).lexically_normal().string();
        ASSERT_TRUE(iconColours_.contains(file)) << entry << ": GTK picks " << file;
        const std::string appId = brindlecast::apps::applicationIdentifier(fs::canonical(entry).string());
        const Icon icon = decodeIcon(ask(R"({"id":"i","operation":"apps.icon","appId":")" + appId + "\"}"));
        EXPECT_EQ(icon.centre, iconColours_.at(file)) << entry << ": GTK picks " << file;
    }
    // Not what an unordered search would give: the chosen theme's, not Other's.
    EXPECT_TRUE(gtk.at(themedEntries_.front()).find("/Chosen/") != std::string::npos);
}

TEST_F(X11Apps, HostileEntriesAndIconsCostABoundedAmount) {
    // A desktop of its own, of entries and icon files made to cost memory and
    // time (bench/x11_catalog_bench prints what they cost).
    const fs::path hostile = data_ / "hostile";
    ASSERT_TRUE(x11test::writeHostileDesktop(hostile.string(), 20));
    const fs::path apps = hostile / "applications";
    Agent agent(desktop(), {"XDG_DATA_HOME=" + hostile.string(), "XDG_DATA_DIRS=" + (hostile / "none").string()});
    const object list = agent.ask(R"({"id":"l","operation":"apps.list"})", 60);
    ASSERT_EQ(list.at("ok"), true);
    std::set<std::string> names;
    for (const auto& app : list.at("apps").as_array()) names.insert(text(app.at("name")));
    // The entry with a 50 MB Name is left out, every other one listed.
    EXPECT_EQ(names.size(), 25u);
    EXPECT_TRUE(names.contains("Fine") && names.contains("Bomb") && names.contains("Filler 19"));
    EXPECT_FALSE(std::any_of(names.begin(), names.end(), [](const std::string& name) { return name.starts_with("NNN"); }));

    const auto icon = [&](const std::string& file) {
        const std::string appId = brindlecast::apps::applicationIdentifier(fs::canonical(apps / file).string());
        const object response = agent.ask(R"({"id":"i","operation":"apps.icon","appId":")" + appId + "\"}", 60);
        EXPECT_EQ(response.at("ok"), true) << file;
        return decodeIcon(response);
    };
    const Icon generic = icon("plain.desktop");
    EXPECT_EQ(icon("fine.desktop").centre, (std::array<int, 4>{0, 192, 0, 255}));
    // Each hostile icon is the generic one, and the agent goes on answering.
    EXPECT_EQ(icon("huge-png.desktop").centre, generic.centre);
    EXPECT_EQ(icon("huge-xpm.desktop").centre, generic.centre);
    EXPECT_EQ(icon("bomb.desktop").centre, generic.centre);
    EXPECT_EQ(agent.ask(R"({"id":"g","operation":"desktop.guard"})").at("ok"), true);
    EXPECT_EQ(agent.errors(), "");
}

TEST_F(X11Apps, RunViewPreviewCloseAndTerminate) {
    const std::string green = id("system/applications/green.desktop");
    const std::string blue = id("system/applications/blue.desktop");
    Window greenWindow = 0, blueWindow = 0;
    const pid_t greenPid = launch(green, "brindlecast-green", greenWindow);
    ASSERT_GT(greenPid, 0);
    EXPECT_TRUE(waitFor([&] { return listed()["Green"].at("running") == true; }, 10));
    EXPECT_EQ(listed()["Blue"].at("running"), false);
    const pid_t bluePid = launch(blue, "brindlecast-blue", blueWindow);
    ASSERT_GT(bluePid, 0);

    // Blue came last and is active; running green again brings the running one forward.
    EXPECT_TRUE(waitFor([&] { return active() == blueWindow; }, 10));
    EXPECT_EQ(action(green, "run").at("ok"), true);
    EXPECT_TRUE(waitFor([&] { return active() == greenWindow; }, 10));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const auto greens = property(DefaultRootWindow(dpy_), "_NET_CLIENT_LIST", XA_WINDOW);
    EXPECT_EQ(std::count_if(greens.begin(), greens.end(), [&](unsigned long window) {
        return property(window, "_NET_WM_PID", XA_CARDINAL) == property(greenWindow, "_NET_WM_PID", XA_CARDINAL);
    }), 1) << "a second instance was started";
    // View does the same.
    EXPECT_EQ(action(blue, "view").at("ok"), true);
    EXPECT_TRUE(waitFor([&] { return active() == blueWindow; }, 10));
    EXPECT_EQ(action(green, "view").at("ok"), true);
    EXPECT_TRUE(waitFor([&] { return active() == greenWindow; }, 10));

    // A window on top of green hides it from the screen, not from its preview.
    expectCoveredPreview(dpy_, greenWindow, [&](const std::string& line) { return ask(line); }, green, {0, 192, 0});

    EXPECT_EQ(action(green, "close").at("ok"), true);
    EXPECT_TRUE(waitFor([&] { return ended(greenPid); }, 10));
    EXPECT_EQ(action(blue, "terminate").at("ok"), true);
    EXPECT_TRUE(waitFor([&] { return ended(bluePid); }, 10));
    // Nothing runs any more: there is nothing to close.
    EXPECT_TRUE(waitFor([&] { return listed()["Blue"].at("running") == false; }, 10));
    const object again = action(blue, "close");
    EXPECT_EQ(again.at("ok"), false);
    EXPECT_EQ(text(again.at("code")), brindlecast::failures::appCannotClose.code);
}

TEST_F(X11Apps, LaunchedProgramOwnsNothingOfTheAgent) {
    const fs::path pidFile = data_ / "detached.pid";
    fs::remove(pidFile);
    EXPECT_EQ(action(id("system/applications/detached.desktop"), "run").at("ok"), true);
    pid_t pid = -1;
    ASSERT_TRUE(waitFor([&] { return (pid = std::atoi(firstLine(pidFile).c_str())) > 0; }, 10));
    started_.push_back(pid);
    ASSERT_TRUE(waitFor([&] { return firstLine("/proc/" + std::to_string(pid) + "/comm") == "sleep"; }, 10));
    // Its three streams go nowhere, and it holds no other descriptor (once the
    // loader has closed what it opened while the program started).
    const std::map<std::string, std::string> streams{{"0", "/dev/null"}, {"1", "/dev/null"}, {"2", "/dev/null"}};
    std::map<std::string, std::string> descriptors;
    EXPECT_TRUE(waitFor([&] {
        descriptors.clear();
        std::error_code error;
        for (const auto& fd : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
            descriptors[fd.path().filename().string()] = fs::read_symlink(fd.path(), error).string();
        }
        return descriptors == streams;
    }, 5)) << descriptors.size() << " descriptors";
    // Not the agent's child, and a session of its own.
    const auto fields = statFields(pid);
    ASSERT_GE(fields.size(), 4u);
    EXPECT_NE(std::atoi(fields[1].c_str()), agent_->pid());
    EXPECT_EQ(std::atoi(fields[3].c_str()), pid);
    // What it printed is in no response: the next answer is the agent's own.
    const object after = ask(R"({"id":"after","operation":"permissions.status"})");
    EXPECT_EQ(text(after.at("id")), "after");
}

TEST_F(X11Apps, TerminateEndsTheClientTheServerNamesNotTheOneAWindowClaims) {
    const std::string eyes = id("system/applications/eyes.desktop");
    x11test::Process bystander({"sleep", "60"}, desktop().environment());
    ASSERT_EQ(action(eyes, "run").at("ok"), true);
    Window window = 0;
    ASSERT_TRUE(waitFor([&] { return (window = managed("xeyes")) != 0; }, 20));
    const pid_t pid = serverPid(dpy_, window);
    ASSERT_GT(pid, 0);
    started_.push_back(pid);
    EXPECT_TRUE(property(window, "_NET_WM_PID", XA_CARDINAL).empty());
    EXPECT_TRUE(waitFor([&] { return listed()["Eyes"].at("running") == true; }, 10));

    // The window now says it belongs to an unrelated process.
    const long claimed = bystander.pid();
    XChangeProperty(dpy_, window, XInternAtom(dpy_, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(&claimed), 1);
    XSync(dpy_, False);
    EXPECT_EQ(action(eyes, "terminate").at("ok"), true);
    EXPECT_TRUE(waitFor([&] { return ended(pid); }, 10));
    EXPECT_TRUE(bystander.running());
    EXPECT_TRUE(waitFor([&] { return listed()["Eyes"].at("running") == false; }, 10));
}

TEST_F(X11Apps, TerminateEndsAClientWhoseProcessIsAZombie) {
    // Not reaped until it is stopped: the window's process stays a zombie.
    x11test::Process client({"/usr/bin/python3", BRINDLECAST_X11_SCRIPTS "/undying_client.py"}, desktop().environment());
    Window window = 0;
    ASSERT_TRUE(waitFor([&] { return (window = managed("undying")) != 0; }, 20));
    EXPECT_EQ(serverPid(dpy_, window), client.pid());
    EXPECT_TRUE(waitFor([&] { return ended(client.pid()); }, 10));
    EXPECT_TRUE(waitFor([&] { return listed()["Undying"].at("running") == true; }, 10));
    EXPECT_EQ(action(id("system/applications/undying.desktop"), "terminate").at("ok"), true);
    EXPECT_TRUE(waitFor([&] { return managed("undying") == 0; }, 10));
    EXPECT_EQ(listed()["Undying"].at("running"), false);
}

// A desktop of its own with no window manager, whose X server is restarted
// on the same display while the agent runs.
TEST(X11BareServer, AppsWithoutWindowManagerAndAcrossServerRestart) {
    if (x11test::agentPath().empty()) GTEST_SKIP() << "no X11 agent";
    const fs::path data = fs::path(desktop().dir()) / "bare";
    const fs::path applications = data / "applications";
    write(applications / "green.desktop", "[Desktop Entry]\nType=Application\nName=Green\nExec=/usr/bin/python3 "
                                          BRINDLECAST_X11_SCRIPTS "/color_app.py bare-green 00c000\n");
    x11test::Process server;
    const std::string display = x11test::startXServer(server, desktop().environment(), 1280, 1024);
    Agent agent(desktop(), {"DISPLAY=" + display, "XDG_DATA_HOME=" + data.string(), "XDG_DATA_DIRS=" + data.string()});
    const auto ask = [&](const std::string& line) {
        object response = agent.ask(line);
        EXPECT_EQ(testing_support::responseProblem(boost::json::serialize(response),
                                                   brindlecast::platform::DesktopSystem::linuxX11),
              "") << line;
        return response;
    };
    const auto appId = [&](const char* file) {
        return brindlecast::apps::applicationIdentifier(fs::canonical(applications / file).string());
    };
    const auto action = [&](const std::string& app, const std::string& what) {
        return ask(R"({"id":"a","operation":"apps.action","appId":")" + app + R"(","appAction":")" + what + "\"}");
    };
    const auto running = [&](const std::string& name) {
        const object response = ask(R"({"id":"l","operation":"apps.list"})");
        if (!response.contains("apps")) return false;
        for (const auto& app : response.at("apps").as_array()) {
            if (text(app.at("name")) == name) return app.at("running") == true;
        }
        return false;
    };
    const std::string green = appId("green.desktop");
    std::vector<pid_t> pids;

    // Runs green and checks that a covered green previews green; the window's client pid.
    const auto runAndPreview = [&](Display* dpy) -> pid_t {
        EXPECT_EQ(action(green, "run").at("ok"), true);
        Window window = 0;
        EXPECT_TRUE(waitFor([&] { return (window = topLevel(dpy, "bare-green")) != 0; }, 20));
        if (window == 0) return -1;
        const pid_t pid = serverPid(dpy, window);
        pids.push_back(pid);
        EXPECT_TRUE(waitFor([&] { return running("Green"); }, 10));
        expectCoveredPreview(dpy, window, ask, green, {0, 192, 0});
        return pid;
    };

    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    Display* dpy = XOpenDisplay(display.c_str());
    ASSERT_NE(dpy, nullptr);
    const pid_t first = runAndPreview(dpy);
    ASSERT_GT(first, 0);
    // View raises and focuses the window itself; full screen needs a window manager.
    EXPECT_EQ(action(green, "view").at("ok"), true);
    EXPECT_TRUE(waitFor([&] {
        Window focus = 0;
        int revert = 0;
        XGetInputFocus(dpy, &focus, &revert);
        return focus == topLevel(dpy, "bare-green");
    }, 10));
    const object full = ask(R"({"id":"f","action":"toggleFullscreen"})");
    EXPECT_EQ(full.at("ok"), false);
    EXPECT_EQ(text(full.at("code")), brindlecast::failures::platformError.code);
    // Close asks the window itself (WM_DELETE_WINDOW).
    EXPECT_EQ(action(green, "close").at("ok"), true);
    EXPECT_TRUE(waitFor([&] { return ended(first); }, 10));
    XCloseDisplay(dpy);

    // A new X server on the same display: the agent keeps covered windows off screen there too.
    server.stop();
    x11test::startXServer(server, desktop().environment(), 1280, 1024, display);
    dpy = XOpenDisplay(display.c_str());
    ASSERT_NE(dpy, nullptr);
    const pid_t second = runAndPreview(dpy);
    EXPECT_GT(second, 0);

    // A window manager that comes and is killed leaves its lists on the root window.
    const auto managerCheck = [&] {
        Atom type = 0;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* value = nullptr;
        XGetWindowProperty(dpy, DefaultRootWindow(dpy), XInternAtom(dpy, "_NET_SUPPORTING_WM_CHECK", False), 0, 1,
                           False, XA_WINDOW, &type, &format, &count, &after, &value);
        Window window = 0;
        if (value != nullptr && count == 1) window = *reinterpret_cast<const unsigned long*>(value);
        if (value != nullptr) XFree(value);
        XWindowAttributes attributes{};
        return window != 0 && XGetWindowAttributes(dpy, window, &attributes) != 0;
    };
    {
        std::vector<std::string> env = desktop().environment();
        std::erase_if(env, [](const std::string& entry) { return entry.starts_with("DISPLAY="); });
        env.push_back("DISPLAY=" + display);
        x11test::Process manager({"openbox"}, env);
        EXPECT_TRUE(waitFor(managerCheck, 10));
        // Once the window manager lists the window.
        EXPECT_TRUE(waitFor([&] { return action(green, "view").at("ok") == true; }, 10));
        ::kill(manager.pid(), SIGKILL);
        manager.stop();
    }
    EXPECT_TRUE(waitFor([&] { return !managerCheck(); }, 10));
    EXPECT_EQ(action(green, "close").at("ok"), true);
    EXPECT_TRUE(waitFor([&] { return ended(second); }, 10));
    XCloseDisplay(dpy);
    for (const pid_t pid : pids) {
        if (pid > 0 && !ended(pid)) ::kill(pid, SIGKILL);
    }
    EXPECT_EQ(agent.errors(), "");
}

}  // namespace
