// The state checker program, and the opt-in "requestId" of event-log lines.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "check/state_check.h"
#include "support/agent.h"
#include "support/bundles.h"
#include "support/virtual_session.h"

namespace {

using namespace testing_support;

struct CheckRun {
    int status = -1;
    std::vector<std::string> lines;
};

// Runs the checker program on one file.
CheckRun runChecker(const std::string& file) {
    int out[2];
    if (pipe(out) != 0) return {};
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execl(BRINDLECAST_STATE_CHECK, BRINDLECAST_STATE_CHECK, file.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
    close(out[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    CheckRun run;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        run.lines.push_back(text.substr(start, end - start));
    }
    return run;
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

bool anyLineHas(const std::vector<std::string>& lines, const std::string& part) {
    for (const auto& line : lines) {
        if (line.find(part) != std::string::npos) return true;
    }
    return false;
}

TEST(StateCheck, ProgramFlagsABrokenFileAndPassesASoundOne) {
    VirtualMacFiles files;
    const std::string file = files.dir() + "/s.json";

    // Each broken file answers like a locked Mac in the agent; the checker says why.
    writeFile(file, "{\"secureInput\": true,\n \"now\": }");
    CheckRun run = runChecker(file);
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.lines.size(), 1u);
    EXPECT_NE(run.lines[0].find("not valid JSON at line 2"), std::string::npos) << run.lines[0];

    run = runChecker(files.dir() + "/missing.json");
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.lines.size(), 1u);
    EXPECT_NE(run.lines[0].find("cannot read the file"), std::string::npos);

    writeFile(file, "[1]");
    EXPECT_EQ(runChecker(file).status, 1);

    writeFile(file, R"({"accessibility": true, "displays": [{"number": 1, "bounds": [0, 0, 800, 600]}],
                        "runningApps": [], "logRequestIds": true})");
    run = runChecker(file);
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.lines.empty()) << run.lines.front();
}

TEST(StateCheck, UnknownKeysWrongTypesAndPictures) {
    VirtualMacFiles files;
    writeFile(files.dir() + "/bad.png", "not a picture");
    const auto state = boost::json::parse(R"({
        "ScreenRecording": false,
        "accessibility": "yes",
        "displays": [{"number": -1, "bounds": [0, 0, 10], "image": ")" + files.dir() + R"(/bad.png", "colour": 1}],
        "windows": {"pid": 1},
        "runningApps": [{"pid": 12.5}, {"bundlePath": "/x.app"}],
        "focus": {"role": "AXTextField", "roleError": 1},
        "eventsFail": ["mouse", "click"],
        "then": [{"after": "capture", "set": {"secureInput": 1}}]
    })").as_object();
    const auto problems = brindlecast::check::checkStateObject(state);
    for (const char* expected : {
             "ScreenRecording: unknown key, ignored (did you mean \"screenRecording\"?)",
             "accessibility: must be true or false, not the text \"yes\"",
             "displays[0].number: must be a display number",
             "displays[0].bounds: must be [x, y, width, height]",
             "displays[0].image: ",
             "displays[0].colour: unknown key",
             "windows: must be an array",
             "runningApps[0].pid: must be a plain integer",
             "runningApps[1]: has no \"pid\"",
             "focus.roleError: must be true or false",
             "eventsFail[1]: must be one of",
             "then[0].after: must be one of \"focusRead\", \"screenshot\"",
             "then[0].set.secureInput: must be true or false",
         }) {
        EXPECT_TRUE(anyLineHas(problems, expected)) << expected;
    }
    EXPECT_EQ(problems.size(), 13u);
}

// Near misses that the agent reads as something else: the checker names the
// word meant, and the agent shows why it matters.
TEST(StateCheck, NearMissesOfReadWordsAndEmptySizes) {
    VirtualMacFiles files;
    const std::string file = files.dir() + "/s.json";
    writeFile(file, R"({"session": {"kCGSSessionOnConsoleKey": true, "kCGSSessionLoginDoneKey": true,
                                    "kCGSSessionUserIDKey": 501},
                        "focus": {"role": "AXTextfield", "subrole": "AXSecureTextfield"},
                        "displays": [{"number": 1, "bounds": [0, 0, -10, 10.7]}],
                        "windows": [{"pid": 7, "frame": [0, 0, 300, 0]}],
                        "screenrecording": true, "nwo": 5})");
    const CheckRun run = runChecker(file);
    EXPECT_EQ(run.status, 1);
    for (const char* expected : {
             "session.kCGSSessionLoginDoneKey: not a key the Mac reads (did you mean \"kCGSessionLoginDoneKey\"?)",
             "focus.role: \"AXTextfield\" is no text field's role, so text is refused (did you mean \"AXTextField\"?)",
             "focus.subrole: \"AXSecureTextfield\" is not the password field's subrole",
             "displays[0].bounds: the width and height must be positive, not -10 and 10.7",
             "windows[0].frame: the width and height must be positive",
             "screenrecording: unknown key, ignored (did you mean \"screenRecording\"?)",
             "nwo: unknown key, ignored (did you mean \"now\"?)",
         }) {
        EXPECT_TRUE(anyLineHas(run.lines, expected)) << expected;
    }
    // Other keys of a real session dictionary are not mistakes.
    EXPECT_FALSE(anyLineHas(run.lines, "kCGSSessionUserIDKey"));
    EXPECT_EQ(run.lines.size(), 7u);

    const auto guard = ask(R"({"id":"g","operation":"desktop.guard"})", file);
    EXPECT_EQ(guard.at("code"), "DESKTOP_LOCKED");
    writeFile(file, R"({"focus": {"role": "AXTextfield"}})");
    const auto text = ask(R"({"id":"t","operation":"desktop.text","text":"hi"})", file);
    EXPECT_EQ(text.at("code"), "DESKTOP_INPUT_UNAVAILABLE");

    // The words as the Mac spells them pass.
    writeFile(file, R"({"session": {"kCGSSessionOnConsoleKey": true, "kCGSessionLoginDoneKey": true,
                                    "CGSSessionScreenIsLocked": false},
                        "focus": {"role": "AXComboBox", "subrole": "AXSecureTextField"}})");
    EXPECT_EQ(runChecker(file).lines, std::vector<std::string>{});
}

TEST(StateCheck, SaysWhichBundlesAreNotCataloguedAndWhy) {
    VirtualMacFiles files;
    const std::string root = files.dir() + "/Applications";
    makeBundle(root + "/Good.app");
    makeBundle(root + "/NoId.app", app(std::nullopt));
    makeBundle(root + "/NoExec.app", BundleSpec().withoutExecutableFile());
    makeBundle(root + "/.Hidden.app");
    makeBundle(root + "/Blocked.app", app("com.apple.Terminal"));
    makeBundle(root + "/a/b/c/Deep.app");
    std::filesystem::create_symlink(root + "/Good.app", root + "/Link.app");
    const std::string file = files.dir() + "/s.json";
    writeFile(file, R"({"applicationFolders": {"applications": ")" + root + R"(", "system": "", "home": ")" + root +
                        R"(/none"}})");

    const CheckRun run = runChecker(file);
    EXPECT_EQ(run.status, 1);
    for (const char* expected : {"NoId.app\" is not catalogued: no identifier",
                                 "NoExec.app\" is not catalogued: no executable",
                                 ".Hidden.app\" is not catalogued: hidden",
                                 "Blocked.app\" is not catalogued: its identifier \"com.apple.Terminal\"",
                                 "Deep.app\" is not catalogued: too deep",
                                 "Link.app\" is not catalogued: a symbolic link",
                                 "applicationFolders.home: \""}) {
        EXPECT_TRUE(anyLineHas(run.lines, expected)) << expected;
    }
    EXPECT_FALSE(anyLineHas(run.lines, "Good.app\""));
    EXPECT_EQ(run.lines.size(), 7u);

    // What the checker calls catalogued is what the agent lists.
    writeFile(file, R"({"applicationFolders": {"applications": ")" + root + R"(", "system": "", "home": ""}})");
    EXPECT_EQ(runChecker(file).lines.size(), 6u);
    const auto listed = ask(R"({"id":"l","operation":"apps.list"})", file);
    ASSERT_EQ(listed.at("apps").as_array().size(), 1u) << boost::json::serialize(listed);
}

TEST(EventLogRequestIds, AddedLastOnlyWhenAskedFor) {
    VirtualSession session;
    const std::string click = R"({"id":"c-1","operation":"desktop.click","x":0,"y":0})";
    const Answer plain = session.ask(click);
    const Answer tagged = session.ask(click, state(R"({"logRequestIds": true})"));
    ASSERT_EQ(plain.log.size(), 2u);
    ASSERT_EQ(tagged.log.size(), 2u);
    for (std::size_t i = 0; i < plain.log.size(); ++i) {
        // The line without the key, byte for byte, then the identifier.
        std::string expected = plain.log[i];
        expected.pop_back();
        EXPECT_EQ(tagged.log[i], expected + R"(,"requestId":"c-1"})");
    }
    // Every kind of line, with an identifier that needs escaping.
    const Answer power = session.ask(R"({"id":"p\"1","action":"sleep"})", state(R"({"logRequestIds": true})"));
    ASSERT_EQ(power.log.size(), 1u);
    EXPECT_EQ(power.log[0],
              R"({"send":"appleEvent","class":"aevt","id":"slep","target":"com.apple.loginwindow","options":35,)"
              R"("timeout":5,"requestId":"p\"1"})");
    const Answer prompt = session.ask(R"({"id":"","operation":"permissions.request","kind":"screen"})",
                                      state(R"({"logRequestIds": true})"));
    EXPECT_EQ(prompt.log, std::vector<std::string>{R"({"prompt":"screen","requestId":""})"});
}

}  // namespace
