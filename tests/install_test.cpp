// An installation as the Debian packages make it: this build tree installed
// with `cmake --install` under a temporary prefix, then checked for its
// files, its unit and menu entries, and run: the installed device manager
// loads the installed module through the installed registry.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/uniquefd.h"
#include "support/process.h"
#include "support/temp_root.h"

namespace orvex {
namespace {

using namespace std::chrono_literals;
using test::ChildProcess;
using test::ReadWholeFile;
using test::TempRoot;

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

struct Outcome {
    int Status = -1;
    std::string Out, Err;
};

// Runs a program to its end. With uid set, as that user and group with no
// supplementary groups (the test then runs as root).
Outcome RunProgram(const std::string& dir, const std::vector<std::string>& argv,
                   const std::vector<std::string>& env = {}, uid_t uid = 0) {
    const std::string out = dir + "/run.out", err = dir + "/run.err";
    Outcome o;
    if (uid == 0) {
        ChildProcess p;
        if (!p.Start(argv, out, err, env))
            return o;
        o.Status = p.Wait(60s).value_or(-1);
    } else {
        std::vector<std::string> envStore = env;
        for (char** e = environ; *e; ++e)
            envStore.emplace_back(*e);
        std::vector<char*> args, envp;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        for (auto& e : envStore)
            envp.push_back(e.data());
        envp.push_back(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int o1 = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            const int o2 = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
            if (o1 < 0 || o2 < 0 || ::dup2(o1, 1) < 0 || ::dup2(o2, 2) < 0 ||
                ::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)
                ::_exit(126);
            ::execve(args[0], args.data(), envp.data());
            ::_exit(127);
        }
        int status = 0;
        if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status))
            o.Status = WEXITSTATUS(status);
    }
    o.Out = ReadWholeFile(out);
    o.Err = ReadWholeFile(err);
    return o;
}

class Installed : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        TopRoot = std::make_unique<TempRoot>();
        Top = TopRoot->Path();
        ::chmod(Top.c_str(), 0755);  // the programs also run as another user
        Prefix = Top + "/usr";
        const Outcome o = RunProgram(
            Top, {Env("ORVEX_CMAKE"), "--install", Env("ORVEX_BINARY_DIR"), "--prefix", Prefix});
        ASSERT_EQ(o.Status, 0) << o.Out << o.Err;
        Manifest = ReadWholeFile(Env("ORVEX_BINARY_DIR") + "/install_manifest.txt");
    }
    static void TearDownTestSuite() { TopRoot.reset(); }
    static std::string In(const std::string& relative) { return Prefix + "/" + relative; }
    static std::string Module() { return In(Env("ORVEX_INSTALL_LIBDIR") + "/orvex/orvexser.so"); }

    static inline std::unique_ptr<TempRoot> TopRoot;
    static inline std::string Top, Prefix, Manifest;
};

TEST_F(Installed, PutsEveryFileWhereThePackagesExpectIt) {
    std::set<std::string> expected = {
        "sbin/orvex-devmgr",
        "bin/orvexctl",
        "bin/orvexreg",
        "bin/orvexsim",
        Env("ORVEX_INSTALL_LIBDIR") + "/orvex/orvexser.so",
        "share/orvex/orvex.reg",
        "lib/systemd/system/orvex-devmgr.service",
        "lib/udev/rules.d/70-orvex-touch.rules",
        "share/man/man8/orvex-devmgr.8",
        "share/man/man1/orvexctl.1",
        "share/man/man1/orvexreg.1",
        "share/man/man1/orvexsim.1",
    };
    // The programs of orvex-gui, with what each brings, once they are built.
    for (const std::string program : {"orvexcal", "orvexcpl"}) {
        if (::access(test::BinaryPath(program).c_str(), X_OK) != 0)
            continue;
        expected.insert({"bin/" + program, "share/man/man1/" + program + ".1",
                         "share/applications/" + program + ".desktop",
                         "share/icons/hicolor/scalable/apps/" + program + ".svg"});
    }
    std::set<std::string> installed;
    std::istringstream lines(Manifest);
    for (std::string line; std::getline(lines, line);) {
        ASSERT_EQ(line.rfind(Prefix + "/", 0), 0u) << line;
        installed.insert(line.substr(Prefix.size() + 1));
    }
    EXPECT_EQ(installed, expected);
    for (const auto* program : {"sbin/orvex-devmgr", "bin/orvexctl", "bin/orvexreg"})
        EXPECT_EQ(::access(In(program).c_str(), X_OK), 0) << program;
}

TEST_F(Installed, UnitAndMenuEntriesVerify) {
    const std::string unit = In("lib/systemd/system/orvex-devmgr.service");
    // verify also checks that every command of the unit is an executable.
    const Outcome verify =
        RunProgram(Top, {"/usr/bin/systemd-analyze", "verify", "--man=no", unit});
    EXPECT_EQ(verify.Status, 0) << verify.Err;
    EXPECT_EQ(verify.Out + verify.Err, "");  // unknown keys are only warnings
    const std::string text = ReadWholeFile(unit);
    EXPECT_NE(text.find("ExecStart=" + In("sbin/orvex-devmgr") + " "), std::string::npos);
    EXPECT_NE(text.find("orvexreg init " + In("share/orvex/orvex.reg")), std::string::npos);
    // udev runs programs by full path only.
    EXPECT_NE(ReadWholeFile(In("lib/udev/rules.d/70-orvex-touch.rules"))
                  .find("IMPORT{program}=\"" + In("bin/orvexreg") + " udev-output\""),
              std::string::npos);

    for (const std::string program : {"orvexcal", "orvexcpl"}) {
        const std::string entry = test::SourcePath("config/" + program + ".desktop");
        const Outcome o = RunProgram(Top, {"/usr/bin/desktop-file-validate", entry});
        EXPECT_EQ(o.Status, 0) << o.Out << o.Err;
        EXPECT_EQ(o.Out + o.Err, "") << entry;
        EXPECT_NE(ReadWholeFile(entry).find("\nExec=" + program + "\n"), std::string::npos);
    }
}

TEST_F(Installed, DeviceManagerServesTheInstalledModuleFromTheInstalledRegistry) {
    const std::string root = Top + "/root";
    const std::vector<std::string> env = {"ORVEX_ROOT=" + root};
    const std::string reg = In("bin/orvexreg");
    const std::string link = root + "/dev/ttySIM";
    ASSERT_TRUE(std::filesystem::create_directories(root + "/dev"));

    // The service's first start.
    Outcome o = RunProgram(Top, {reg, "init", In("share/orvex/orvex.reg")}, env);
    ASSERT_EQ(o.Status, 0) << o.Err;
    EXPECT_EQ(o.Out, "orvexreg: new registry " + root + "/registry.db from " +
                         In("share/orvex/orvex.reg") + "\n");
    o = RunProgram(Top, {reg, "query", "HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\ORVEXSER", "Dll"},
                   env);
    EXPECT_EQ(o.Out, "\"Dll\"=\"" + Module() + "\"\n");
    struct stat st {};
    ASSERT_EQ(::stat((root + "/registry.db").c_str(), &st), 0);
    // Shared with the group orvex where it exists and we are root; owner-only otherwise.
    const bool shared = ::geteuid() == 0 && ::getgrnam("orvex") != nullptr;
    EXPECT_EQ(st.st_mode & 07777, shared ? 0660u : 0600u);

    ASSERT_EQ(RunProgram(Top, {reg, "set", "Platform\\Serial", "COM1", "sz", link}, env).Status, 0);
    ASSERT_EQ(RunProgram(Top, {reg, "set", "Platform\\Input", "Backend", "sz", "log"}, env).Status,
              0);
    ASSERT_EQ(RunProgram(Top, {reg, "set", "Platform\\PortIo", "Backend", "sz", "log"}, env).Status,
              0);
    // A later start keeps the registry as it is.
    o = RunProgram(Top, {reg, "init", In("share/orvex/orvex.reg")}, env);
    EXPECT_EQ(o.Status, 0);
    EXPECT_EQ(o.Out, "orvexreg: " + root + "/registry.db exists; left as it is\n");
    o = RunProgram(Top, {reg, "query", "Platform\\Serial", "COM1"}, env);
    EXPECT_EQ(o.Out, "\"COM1\"=\"" + link + "\"\n");

    ChildProcess sim, host;
    ASSERT_TRUE(sim.Start({In("bin/orvexsim"), "--link", link, "--wait-detect", "--quiet"}, "",
                          Top + "/sim.err"));
    ASSERT_TRUE(test::WaitUntil([&] { return ::lstat(link.c_str(), &st) == 0; }, 10s));
    ASSERT_TRUE(host.Start({In("sbin/orvex-devmgr"), "--root", root}, "", Top + "/host.err"));
    const bool served =
        test::WaitUntil([&] { return ::stat((root + "/dev/ORX1").c_str(), &st) == 0; }, 20s);
    const std::string log = ReadWholeFile(Top + "/host.err");
    ASSERT_TRUE(served) << log;
    EXPECT_NE(log.find("orvex-devmgr: loaded ORX1: from " + Module() + "\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("ORVEXSER: TouchScreen found on COM1: 9600BPS, [TS]"), std::string::npos)
        << log;

    o = RunProgram(Top, {In("bin/orvexctl"), "settings"}, env);
    EXPECT_EQ(o.Status, 0) << o.Err;
    EXPECT_NE(o.Out.find("FeedbackTone       2000"), std::string::npos) << o.Out;
    host.Signal(SIGTERM);
    EXPECT_EQ(host.Wait(10s), 0);
}

// A registry made from the source tree's orvex.reg names the module by its
// bare file name; the installed device manager finds it in its own module
// folder.
TEST_F(Installed, DeviceManagerFindsTheInstalledModuleByItsBareName) {
    const std::string root = Top + "/bare";
    const std::vector<std::string> env = {"ORVEX_ROOT=" + root};
    ASSERT_EQ(
        RunProgram(Top, {In("bin/orvexreg"), "init", test::SourcePath("config/orvex.reg")}, env)
            .Status,
        0);
    for (const auto& [key, value] :
         {std::pair{"Platform\\Input", "log"}, std::pair{"Platform\\PortIo", "log"},
          std::pair{"Platform\\Serial", "/nonexistent"}}) {
        const std::string name = std::string(key).ends_with("Serial") ? "COM1" : "Backend";
        ASSERT_EQ(RunProgram(Top, {In("bin/orvexreg"), "set", key, name, "sz", value}, env).Status,
                  0);
    }
    ChildProcess host;
    ASSERT_TRUE(host.Start({In("sbin/orvex-devmgr"), "--root", root}, "", Top + "/bare.err"));
    struct stat st {};
    const bool served =
        test::WaitUntil([&] { return ::stat((root + "/dev/ORX1").c_str(), &st) == 0; }, 20s);
    const std::string log = ReadWholeFile(Top + "/bare.err");
    ASSERT_TRUE(served) << log;
    EXPECT_NE(log.find("orvex-devmgr: loaded ORX1: from " + Module() + "\n"), std::string::npos)
        << log;
    host.Signal(SIGTERM);
    EXPECT_EQ(host.Wait(10s), 0);
}

// The installed root belongs to root and the group orvex (2750); a user in
// neither is told who may use the device and the registry.
TEST_F(Installed, UserOutsideTheGroupIsToldWhoMayUseTheDevice) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to run a program as another user";
    constexpr uid_t Nobody = 65534;
    const std::string root = Top + "/locked";
    const std::vector<std::string> env = {"ORVEX_ROOT=" + root};
    ASSERT_EQ(
        RunProgram(Top, {In("bin/orvexreg"), "init", In("share/orvex/orvex.reg")}, env).Status, 0);
    ASSERT_TRUE(std::filesystem::create_directories(root + "/dev"));
    // A listening device socket, so that only the permissions stand between.
    UniqueFd listener(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, (root + "/dev/ORX1").c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener.Get(), 4), 0);
    ASSERT_EQ(::chmod(root.c_str(), 02750), 0);

    const Outcome ctl = RunProgram(Top, {In("bin/orvexctl"), "settings"}, env, Nobody);
    EXPECT_EQ(ctl.Status, 1);
    EXPECT_NE(ctl.Err.find("only root and members of the group orvex may use the device"),
              std::string::npos)
        << ctl.Err;
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"set", "Platform\\Serial", "COM1", "sz", "/dev/ttyS1"},
          std::vector<std::string>{"query", "Platform\\Serial"}}) {
        std::vector<std::string> argv{In("bin/orvexreg")};
        argv.insert(argv.end(), args.begin(), args.end());
        const Outcome reg = RunProgram(Top, argv, env, Nobody);
        EXPECT_EQ(reg.Status, 1);
        EXPECT_NE(reg.Err.find("cannot open the registry under " + root), std::string::npos)
            << reg.Err;
        EXPECT_NE(reg.Err.find("member of the group orvex"), std::string::npos) << reg.Err;
    }
}

}  // namespace
}  // namespace orvex
