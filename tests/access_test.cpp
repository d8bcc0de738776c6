// Who may use the platform: modes whatever the umask, what a host running as
// root refuses to trust, peers outside the group, users holding too many
// handles, and a flood of bad requests in the log. Other users are played
// by forked children that switch to uid 65534 (or 65533, in no group).
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>

#include "device/host.h"
#include "platform/access.h"
#include "support/devhost_fixture.h"
#include "support/process.h"

using namespace orvex;
using namespace orvex::test;
using namespace std::chrono_literals;

namespace {

constexpr uid_t Nobody = 65534;    // a member of the group "nogroup" (65534)
constexpr uid_t Outsider = 65533;  // in no group the host knows

#define REQUIRE_ROOT()                                                                   \
    if (::geteuid() != 0)                                                                \
    GTEST_SKIP() << "needs root: other users are played by children that switch to uid " \
                    "65534 and 65533"

struct stat Stat(const std::string& path) {
    struct stat st {};
    ::lstat(path.c_str(), &st);
    return st;
}
uint32_t Mode(const std::string& path) {
    return Stat(path).st_mode & 07777;
}

void BecomeUser(uid_t uid, gid_t gid) {
    if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 ||
        ::setresuid(uid, uid, uid) != 0)
        ::_exit(125);
}

// Runs fn in a child as uid/gid; its result is the exit status.
int RunAs(uid_t uid, gid_t gid, const std::function<int()>& fn) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        BecomeUser(uid, gid);
        ::_exit(fn());
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Starts a program as uid/gid under the umask, output to a file.
pid_t SpawnAs(uid_t uid, gid_t gid, mode_t mask, const std::vector<std::string>& argv,
              const std::string& output, const std::string& root) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int fd = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        ::dup2(fd, 1);
        ::dup2(fd, 2);
        ::umask(mask);
        BecomeUser(uid, gid);
        ::setenv("ORVEX_ROOT", root.c_str(), 1);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

int Finish(pid_t pid) {
    int status = 0;
    for (int i = 0; i < 3000 && ::waitpid(pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(10ms);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class TempFolder {
  public:
    TempFolder() {
        char tmpl[] = "/tmp/orvex-access-XXXXXX";
        Path = ::mkdtemp(tmpl);
    }
    ~TempFolder() { std::filesystem::remove_all(Path); }
    std::string Path;
};

// A copy of a built program or module in a folder every user can enter: the
// build tree may lie where only root gets in (a clone in root's home).
std::string CopyForEveryone(const std::string& from, const std::string& folder) {
    const std::string to = folder + "/" + std::filesystem::path(from).filename().string();
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    ::chmod(to.c_str(), 0755);
    return to;
}

TEST(PlatformAccess, AnUnprivilegedHostAndToolsUnderUmaskZeroKeepEverythingToTheirUser) {
    REQUIRE_ROOT();
    TempFolder top;
    ::chmod(top.Path.c_str(), 0777);  // somewhere the other user may create a root
    const std::string bin = top.Path + "/bin";
    ::mkdir(bin.c_str(), 0755);
    const std::string orvexreg = CopyForEveryone(BinaryPath("orvexreg"), bin);
    const std::string devmgr = CopyForEveryone(BinaryPath("orvex-devmgr"), bin);
    const std::string orvexctl = CopyForEveryone(BinaryPath("orvexctl"), bin);
    const std::string module = CopyForEveryone(ModulePath("orvexser.so"), bin);
    const std::string root = top.Path + "/root";
    const std::string reg = top.Path + "/setup.reg";
    std::ofstream(reg) << "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\ORVEXSER]\n\"Dll\"=\""
                       << module << "\"\n\"Prefix\"=\"ORX\"\n"
                       << "\"Index\"=dword:1\n[HKEY_LOCAL_MACHINE\\Platform\\Serial]\n"
                       << "\"COM1\"=\"" << top.Path << "/no-tty\"\n"
                       << "[HKEY_LOCAL_MACHINE\\Platform\\Input]\n\"Backend\"=\"log\"\n";
    const std::string out = top.Path + "/out.txt";
    ASSERT_EQ(Finish(SpawnAs(Nobody, Nobody, 0, {orvexreg, "import", reg}, out, root)), 0)
        << ReadWholeFile(out);

    const std::string hostOut = top.Path + "/host.txt";
    const pid_t host = SpawnAs(Nobody, Nobody, 0, {devmgr, "--root", root}, hostOut, root);
    ASSERT_GT(host, 0);
    struct Reaper {
        pid_t Pid;
        ~Reaper() {
            if (Pid > 0 && ::kill(Pid, SIGKILL) == 0)
                ::waitpid(Pid, nullptr, 0);
        }
    } reaper{host};
    const std::string socket = root + "/dev/ORX1";
    ASSERT_TRUE(WaitUntil([&] { return S_ISSOCK(Stat(socket).st_mode); }, 30s))
        << ReadWholeFile(hostOut);

    EXPECT_EQ(Mode(root), 0700u);
    EXPECT_EQ(Mode(root + "/registry.db"), 0600u);
    for (const char* journal : {"/registry.db-wal", "/registry.db-shm"}) {
        if (std::filesystem::exists(root + journal)) {
            EXPECT_EQ(Mode(root + journal), 0600u) << journal;
        }
    }
    EXPECT_EQ(Mode(root + "/dev"), 0700u);
    EXPECT_EQ(Mode(root + "/windows"), 01700u);
    EXPECT_EQ(Mode(socket), 0600u);

    // The host's own user gets through; anyone else learns what is needed.
    EXPECT_EQ(Finish(SpawnAs(Nobody, Nobody, 0, {orvexctl, "settings"}, out, root)), 0)
        << ReadWholeFile(out);
    EXPECT_EQ(Finish(SpawnAs(Outsider, Outsider, 0, {orvexctl, "settings"}, out, root)), 1);
    EXPECT_NE(ReadWholeFile(out).find("cannot open ORX1: (error 5: only root and members of the "
                                      "group orvex may use the device; add the user to the group"),
              std::string::npos)
        << ReadWholeFile(out);

    ::kill(host, SIGTERM);
    EXPECT_EQ(Finish(host), 0) << ReadWholeFile(hostOut);
    reaper.Pid = 0;  // reaped by Finish
}

class SharedHost : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0)
            return;
        Root.RegisterDriver(u"Fake", FakeDriverPath(), "FAK", 1);
        Sharing = {true, true, Nobody};  // "nogroup" plays the platform's group
        ASSERT_TRUE(PreparePlatformRoot(Root.Root(), Sharing, &Why)) << Why;
        DeviceHost::Options options;
        options.Group = "nogroup";
        ASSERT_EQ(Host.Start(Root.Root(), Root.Reg(), options), 1u);
        Socket = Root.SocketPath("FAK1");
    }

    FakeModule Fake;
    HostRoot Root;
    CaptureDebugOutput Log;
    DeviceHost Host{Log};
    FileSharing Sharing;
    std::string Socket, Why;
};

TEST_F(SharedHost, OnlyRootAndTheGroupGetInAndNoUserCanCrowdOutTheOthers) {
    REQUIRE_ROOT();
    EXPECT_EQ(Mode(Root.Root()), 02750u);
    EXPECT_EQ(Mode(Root.Root() + "/registry.db"), 0660u);
    EXPECT_EQ(Mode(Root.Root() + "/dev"), 0750u);
    EXPECT_EQ(Mode(Root.Root() + "/windows"), 03770u);
    EXPECT_EQ(Mode(Socket), 0660u);
    EXPECT_EQ(Stat(Socket).st_gid, Nobody);

    // Outside the group: refused by the peer check even where the modes were
    // widened by hand.
    ::chmod(Root.Root().c_str(), 0755);
    ::chmod((Root.Root() + "/dev").c_str(), 0755);
    ::chmod(Socket.c_str(), 0666);
    EXPECT_EQ(RunAs(Outsider, Outsider,
                    [&] { return ConnectRaw(Socket).Hello == ERROR_ACCESS_DENIED ? 0 : 1; }),
              0);
    EXPECT_EQ(RunAs(Nobody, Nobody, [&] { return ConnectRaw(Socket).Hello == 0u ? 0 : 1; }), 0);
    bool told = false;
    for (const auto& l : Log.Lines())
        told |= l.find(
                    "refused a connection of uid 65533: only root and members of the group "
                    "nogroup") != std::string::npos;
    EXPECT_TRUE(told);

    // A member holds 64 handles; more are refused, and root still gets in.
    int ready[2], release[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(release), 0);
    const pid_t member = ::fork();
    if (member == 0) {
        BecomeUser(Nobody, Nobody);
        std::vector<RawConnection> held;
        int opened = 0, refused = 0;
        for (int i = 0; i < 80; ++i) {
            held.push_back(ConnectRaw(Socket));
            if (held.back().Hello == 0u)
                ++opened;
            else if (held.back().Hello == ERROR_TOO_MANY_OPEN_FILES)
                ++refused;
        }
        const char counts[2] = {static_cast<char>(opened), static_cast<char>(refused)};
        (void)!::write(ready[1], counts, 2);
        char go;
        (void)!::read(release[0], &go, 1);
        ::_exit(0);
    }
    char counts[2] = {};
    ASSERT_EQ(::read(ready[0], counts, 2), 2);
    EXPECT_EQ(counts[0], 64);
    EXPECT_EQ(counts[1], 16);
    for (int i = 0; i < 3; ++i) {
        auto h = OpenDevice(u"FAK1:", Root.Root());
        ASSERT_NE(h, nullptr) << "root was crowded out";
        EXPECT_TRUE(TransformWorks(*h, 1));
    }
    (void)!::write(release[1], "x", 1);
    ::waitpid(member, nullptr, 0);
    for (int fd : {ready[0], ready[1], release[0], release[1]})
        ::close(fd);
}

TEST_F(SharedHost, AMemberUsesTheRegistryButCannotChangeTheRoot) {
    REQUIRE_ROOT();
    const std::string r = Root.Root();
    EXPECT_EQ(RunAs(Nobody, Nobody,
                    [&] {
                        int changed = 0;
                        changed += ::open((r + "/filler").c_str(), O_WRONLY | O_CREAT, 0600) >= 0;
                        changed += ::rename((r + "/dev").c_str(), (r + "/gone").c_str()) == 0;
                        changed += ::unlink((r + "/registry.db-wal").c_str()) == 0;
                        changed +=
                            ::symlink("/etc/shadow", (r + "/registry.db-journal").c_str()) == 0;
                        uint32_t error = 0;
                        auto reg = OpenSqliteRegistry(r, &error);
                        RegKey k = 0;
                        const uint8_t one[4] = {1};
                        if (!reg || reg->CreateKey(HKEY_LOCAL_MACHINE, u"Member", &k) != 0 ||
                            reg->SetValue(k, u"Set", REG_DWORD, one, 4) != 0)
                            return 100;
                        return changed;
                    }),
              0);
    RegKey k = 0;
    uint32_t size = 0;
    ASSERT_EQ(Root.Reg().OpenKey(HKEY_LOCAL_MACHINE, u"Member", KEY_ALL_ACCESS, &k), 0u);
    EXPECT_EQ(Root.Reg().QueryValue(k, u"Set", nullptr, nullptr, &size), 0u);
    Root.Reg().CloseKey(k);
    // The files SQLite keeps beside the database stayed, and stayed root's.
    for (const char* name : {"/registry.db-wal", "/registry.db-shm"})
        EXPECT_EQ(Stat(r + name).st_uid, 0u) << name;
    EXPECT_TRUE(RootOwnsPlatformEntries(r, Sharing, &Why)) << Why;
}

TEST_F(SharedHost, AFloodOfBadRequestsLeavesAFewLinesAndACount) {
    REQUIRE_ROOT();
    constexpr int Bad = 400;
    for (int i = 0; i < Bad; ++i) {
        RawConnection c = ConnectRaw(Socket);
        ASSERT_EQ(c.Hello, 0u);
        const uint8_t junk[3] = {1, 2, 3};
        ASSERT_TRUE(devwire::SendPacket(c.Fd.Get(), junk));
        ASSERT_TRUE(ClosedByHost(c.Fd.Get()));
    }
    Host.Stop();
    int shown = 0, suppressed = 0;
    const std::regex count("(\\d+) more lines about malformed requests were suppressed");
    for (const auto& l : Log.Lines()) {
        std::smatch m;
        if (std::regex_search(l, m, count))
            suppressed += std::stoi(m[1]);
        else if (l.find("malformed request, closing") != std::string::npos)
            ++shown;
    }
    EXPECT_LE(shown, 20);  // ten per window; the flood may straddle two
    EXPECT_EQ(shown + suppressed, Bad);
}

// What the service's RestrictSUIDSGID does: any change of mode, and any new
// folder, whose mode asks for a set-user-id or set-group-id bit fails with
// EPERM, even where the bit is already set.
bool RestrictSetIdModes() {
    constexpr uint32_t Nr = offsetof(seccomp_data, nr);
    auto arg = [](int n) { return static_cast<uint32_t>(offsetof(seccomp_data, args) + n * 8); };
    auto refuse = [&](uint32_t call, int modeArg) {
        return std::vector<sock_filter>{
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call, 0, 3),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, arg(modeArg)),
            BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, S_ISUID | S_ISGID, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, Nr)};
    };
    std::vector<sock_filter> f{BPF_STMT(BPF_LD | BPF_W | BPF_ABS, Nr)};
    for (auto [call, modeArg] : {std::pair{SYS_chmod, 1},
                                 {SYS_fchmod, 1},
                                 {SYS_fchmodat, 2},
                                 {SYS_mkdir, 1},
                                 {SYS_mkdirat, 2}}) {
        auto part = refuse(static_cast<uint32_t>(call), modeArg);
        f.insert(f.end(), part.begin(), part.end());
    }
    f.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    sock_fprog prog{static_cast<unsigned short>(f.size()), f.data()};
    return ::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
           ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog) == 0;
}

TEST(PlatformAccess, TheServicesSetIdRestrictionLeavesTheRootUsable) {
    REQUIRE_ROOT();
    TempFolder top;
    // As the service manager makes the state folder, before the service runs.
    const std::string root = top.Path + "/root";
    ASSERT_EQ(::mkdir(root.c_str(), 0700), 0);
    ASSERT_EQ(::chown(root.c_str(), 0, Nobody), 0);
    ASSERT_EQ(::chmod(root.c_str(), 02750), 0);
    const FileSharing s{true, true, Nobody};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::umask(0007);
        std::string why;
        if (!RestrictSetIdModes())
            ::_exit(10);
        // Twice: a new root, then one that is already right.
        for (int round = 0; round < 2; ++round) {
            if (!PreparePlatformRoot(root, s, &why) ||
                !PrepareFolder(root + "/windows", WindowFolderMode, s, &why) ||
                !PrepareFolder(root + "/dev", DeviceFolderMode, s, &why)) {
                std::fprintf(stderr, "%s\n", why.c_str());
                ::_exit(20 + round);
            }
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(Mode(root), 02750u);
    EXPECT_EQ(Mode(root + "/windows"), 03770u);
    EXPECT_EQ(Mode(root + "/dev"), 0750u);
    EXPECT_EQ(Mode(root + "/registry.db-wal"), 0660u);
    EXPECT_EQ(Stat(root + "/registry.db").st_gid, Nobody);
}

TEST(PlatformAccess, ARootHostTrustsNoFileAnotherUserCouldHaveChanged) {
    REQUIRE_ROOT();
    HostRoot root;
    const FileSharing s = CurrentFileSharing(root.Root());
    const std::string db = root.Root() + "/registry.db";
    std::string why;
    EXPECT_TRUE(OnlyTrustedWriters(db, s, &why)) << why;
    ASSERT_EQ(::chown(db.c_str(), Nobody, Nobody), 0);
    EXPECT_FALSE(OnlyTrustedWriters(db, s, &why));
    EXPECT_EQ(why, db + ": it belongs to uid 65534");
    ASSERT_EQ(::chown(db.c_str(), 0, 0), 0);
    ::chmod(root.Root().c_str(), 0777);
    EXPECT_FALSE(OnlyTrustedWriters(db, s, &why));
    EXPECT_EQ(why, root.Root() + ": every user can write it (mode 0777)");
    ::chmod(root.Root().c_str(), 0700);

    // An entry of the root that root did not make was planted.
    EXPECT_TRUE(RootOwnsPlatformEntries(root.Root(), s, &why)) << why;
    const std::string dev = root.Root() + "/dev";
    ::mkdir(dev.c_str(), 0750);
    ASSERT_EQ(::chown(dev.c_str(), Nobody, Nobody), 0);
    EXPECT_FALSE(RootOwnsPlatformEntries(root.Root(), s, &why));
    EXPECT_EQ(why, dev + ": it belongs to uid 65534, not root");
    ::rmdir(dev.c_str());
    ASSERT_EQ(::rename(db.c_str(), (db + ".real").c_str()), 0);
    ASSERT_EQ(::symlink((db + ".real").c_str(), db.c_str()), 0);
    EXPECT_FALSE(RootOwnsPlatformEntries(root.Root(), s, &why));
    EXPECT_EQ(why, db + " is a symbolic link");
    ::unlink(db.c_str());
    ASSERT_EQ(::rename((db + ".real").c_str(), db.c_str()), 0);

    // Preparing never follows a link somebody else made: its target, here a
    // folder of root's, keeps its owners and mode.
    TempFolder target;
    ::chmod(target.Path.c_str(), 0700);
    const std::string windows = root.Root() + "/windows";
    ASSERT_EQ(::symlink(target.Path.c_str(), windows.c_str()), 0);
    ASSERT_EQ(::lchown(windows.c_str(), Nobody, Nobody), 0);
    EXPECT_TRUE(PrepareFolder(windows, WindowFolderMode, FileSharing{true, true, Nobody}, &why));
    EXPECT_EQ(Mode(target.Path), 0700u);
    EXPECT_EQ(Stat(target.Path).st_gid, 0u);
    ::unlink(windows.c_str());

    // Modules: only root's, unwritable by others, in the module folder.
    TempFolder lib;
    const std::string good = lib.Path + "/good.so";
    std::filesystem::copy_file(FakeDriverPath(), good);
    ::chmod(good.c_str(), 0755);
    std::ofstream(lib.Path + "/open.so") << "not even a module";
    ::chmod((lib.Path + "/open.so").c_str(), 0666);
    std::filesystem::copy_file(good, lib.Path + "/theirs.so");
    ::chown((lib.Path + "/theirs.so").c_str(), Nobody, Nobody);
    std::filesystem::create_symlink(good, lib.Path + "/link.so");
    root.RegisterDriver(u"A_Good", good, "FAK", 1);
    root.RegisterDriver(u"B_Open", lib.Path + "/open.so", "FAK", 2);
    root.RegisterDriver(u"C_Theirs", lib.Path + "/theirs.so", "FAK", 3);
    root.RegisterDriver(u"D_Link", lib.Path + "/link.so", "FAK", 4);
    root.RegisterDriver(u"E_Outside", FakeDriverPath(), "FAK", 5);
    root.RegisterDriver(u"F_Empty", "", "FAK", 6);
    root.SetDword(u"G_Number", u"Dll", 7);
    root.SetString(u"G_Number", u"Prefix", "FAK");
    root.SetDword(u"G_Number", u"Index", 7);

    CaptureDebugOutput log;
    DeviceHost host(log);
    DeviceHost::Options options;
    options.LibraryDirs = {lib.Path};
    EXPECT_EQ(host.Start(root.Root(), root.Reg(), options), 1u);
    EXPECT_EQ(host.Devices(), std::vector<std::string>{"FAK1:"});
    std::string lines;
    for (const auto& l : log.Lines())
        lines += l;
    const std::string refusing = "orvex-devmgr: skipping Drivers\\BuiltIn\\";
    // Refused before loading: the not-a-module file is never even opened as one.
    EXPECT_NE(lines.find(refusing + "B_Open: refusing Dll " + lib.Path +
                         "/open.so: users other than root can write it (mode 0666)\n"),
              std::string::npos)
        << lines;
    EXPECT_NE(lines.find(refusing + "C_Theirs: refusing Dll " + lib.Path +
                         "/theirs.so: it belongs to uid 65534, not root\n"),
              std::string::npos);
    EXPECT_NE(lines.find(refusing + "D_Link: refusing Dll " + lib.Path +
                         "/link.so: it is a symbolic link\n"),
              std::string::npos);
    EXPECT_NE(lines.find(refusing + "E_Outside: refusing Dll " + FakeDriverPath() +
                         ": it lies outside the driver module folders\n"),
              std::string::npos);
    EXPECT_NE(lines.find(refusing + "F_Empty: its Dll is empty; it must name the module file\n"),
              std::string::npos);
    EXPECT_NE(lines.find(refusing +
                         "G_Number: its Dll is of type 4, not a string (REG_SZ) naming the module"),
              std::string::npos);
    EXPECT_EQ(lines.find("cannot load"), std::string::npos);
}

}  // namespace
