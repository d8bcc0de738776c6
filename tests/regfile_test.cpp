// Registry text files: every value form, errors that name their line, imports
// that apply whole or not at all, and exports that read back unchanged.
#include <gtest/gtest.h>

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/registry-file.h"
#include "tests/support/failing_registry.h"
#include "tests/support/process.h"
#include "tests/support/regdata.h"
#include "tests/support/temp_root.h"

using namespace orvex;
using orvex::test::FailingRegistry;
using orvex::test::TempRoot;
using namespace std::string_literals;

namespace {

std::vector<uint8_t> Sz(std::u16string_view s) {
    return orvex::test::SzBytes(s);
}

class RegFileTest : public ::testing::Test {
  protected:
    void SetUp() override {
        uint32_t error = 0;
        Reg = OpenSqliteRegistry(Root.Path(), &error);
        ASSERT_NE(Reg, nullptr);
    }

    // The value's type and bytes, or nothing when it (or its key) is absent.
    std::optional<std::pair<uint32_t, std::vector<uint8_t>>> Value(std::u16string_view key,
                                                                   std::u16string_view name) {
        RegKey k = 0;
        if (Reg->OpenKey(HKEY_LOCAL_MACHINE, key, 0, &k))
            return std::nullopt;
        std::vector<Registry::Value> values;
        Reg->EnumValues(k, &values);
        Reg->CloseKey(k);
        for (auto& v : values)
            if (v.Name == name)
                return std::make_pair(v.Type, v.Data);
        return std::nullopt;
    }

    bool KeyExists(std::u16string_view key) {
        RegKey k = 0;
        if (Reg->OpenKey(HKEY_LOCAL_MACHINE, key, 0, &k))
            return false;
        Reg->CloseKey(k);
        return true;
    }

    std::string Import(const std::string& text) {
        std::string error;
        EXPECT_TRUE(ImportRegText(*Reg, text, &error)) << error;
        return error;
    }

    std::string ImportError(const std::string& text) {
        std::string error;
        EXPECT_FALSE(ImportRegText(*Reg, text, &error));
        return error;
    }

    std::string Export(std::u16string_view key = u"") {
        std::string text, error;
        EXPECT_TRUE(ExportRegText(*Reg, key, &text, &error)) << error;
        return text;
    }

    TempRoot Root;
    std::unique_ptr<Registry> Reg;
};

TEST_F(RegFileTest, ReadsEveryValueForm) {
    Import(
        "\xEF\xBB\xBFREGEDIT4\r\n"
        "; a comment\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\ORVEXSER]\r\n"
        "\"Model\"=\"TS\"\r\n"
        "\"Path\"=\"C:\\\\dir\\\\\\\"q\\\"\"\r\n"
        "\"Port\"=dword:0000000a\r\n"
        "\"Small\"=dword:7\r\n"
        "\"Blob\"=hex:01,02,\\\r\n"
        "  ff , 0a\r\n"
        "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
        "\"Expand\"=hex(2):25,00,00,00\r\n"
        "\"Quad\"=hex(b):01,00,00,00,00,00,00,00\r\n"
        "\"Nothing\"=hex:\r\n"
        "\"Wide\"=\"\xC3\xA9\xF0\x9F\x98\x80\"\r\n"
        "@=\"default\"\r\n"
        "\"Na\\\"me\"=dword:00000001\r\n"
        "[hkey_local_machine\\Empty]\n");
    using V = std::pair<uint32_t, std::vector<uint8_t>>;
    const std::u16string key = u"Drivers\\BuiltIn\\ORVEXSER";
    EXPECT_EQ(Value(key, u"Model"), V(REG_SZ, Sz(u"TS")));
    EXPECT_EQ(Value(key, u"Path"), V(REG_SZ, Sz(u"C:\\dir\\\"q\"")));
    EXPECT_EQ(Value(key, u"Port"), V(REG_DWORD, {10, 0, 0, 0}));
    EXPECT_EQ(Value(key, u"Small"), V(REG_DWORD, {7, 0, 0, 0}));
    EXPECT_EQ(Value(key, u"Blob"), V(REG_BINARY, {1, 2, 0xFF, 0x0A}));
    EXPECT_EQ(Value(key, u"Multi"), V(REG_MULTI_SZ, {0x61, 0, 0, 0, 0x62, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Value(key, u"Expand"), V(REG_EXPAND_SZ, {0x25, 0, 0, 0}));
    EXPECT_EQ(Value(key, u"Quad"), V(0xB, {1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Value(key, u"Nothing"), V(REG_BINARY, {}));
    EXPECT_EQ(Value(key, u"Wide"), V(REG_SZ, Sz(u"\u00E9\U0001F600")));
    EXPECT_EQ(Value(key, u""), V(REG_SZ, Sz(u"default")));
    EXPECT_EQ(Value(key, u"Na\"me"), V(REG_DWORD, {1, 0, 0, 0}));
    EXPECT_TRUE(KeyExists(u"Empty"));
}

TEST_F(RegFileTest, DeletionsAndLaterLinesWin) {
    Import(
        "REGEDIT4\n"
        "[HKEY_LOCAL_MACHINE\\Old\\Sub]\n"
        "\"x\"=dword:1\n"
        "[HKEY_LOCAL_MACHINE\\Keep]\n"
        "\"a\"=dword:1\n"
        "\"b\"=dword:2\n");
    Import(
        "REGEDIT4\n"
        "[-HKEY_LOCAL_MACHINE\\Old]\n"
        "[-HKEY_LOCAL_MACHINE\\NeverWas]\n"
        "[HKEY_LOCAL_MACHINE\\Keep]\n"
        "\"a\"=-\n"
        "\"missing\"=-\n"
        "\"b\"=dword:3\n"
        "\"b\"=dword:4\n");
    EXPECT_FALSE(KeyExists(u"Old"));
    EXPECT_FALSE(Value(u"Keep", u"a"));
    EXPECT_EQ(Value(u"Keep", u"b")->second, (std::vector<uint8_t>{4, 0, 0, 0}));
}

TEST_F(RegFileTest, MalformedInputNamesItsLine) {
    struct Case {
        const char* Text;
        const char* Error;
    };
    const Case cases[] = {
        {"REGEDIT5\n", "line 1: "},
        {"\n\n", "line 3: "},
        {"REGEDIT4\n\"a\"=dword:1\n", "line 2: value outside of a key"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=dword:123456789\n", "line 3: "},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=dword:\n", "line 3: "},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=\"open\n", "line 3: unterminated string"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=\"x\\n\"\n", "line 3: unknown escape"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=\"x\" junk\n", "line 3: "},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=hex:01,\\\n  02,zz\n", "line 4: bad byte"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=hex:01,,02\n", "line 3: missing byte"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=hex:01,\\\n", "line 3: "},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=hex(x):01\n", "line 3: "},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=hex:100\n", "line 3: bad byte"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\" dword:1\n", "line 3: "},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\"=qword:1\n", "line 3: "},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"bad\xFF\"=dword:1\n", "line 3: "},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\K]\n", "line 2: only keys under HKEY_LOCAL_MACHINE"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINEX\\K]\n", "line 2: "},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\\\B]\n", "line 2: empty key name"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K\n", "line 2: "},
        {"REGEDIT4\n[-HKEY_LOCAL_MACHINE]\n", "line 2: "},
        {"REGEDIT4\n[-HKEY_LOCAL_MACHINE\\K]\n\"a\"=dword:1\n", "line 3: value outside"},
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\nstray text\n", "line 4: unrecognised line"},
        // Names that could never be written back on a line of their own.
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"a\rb\"=dword:1\n", "line 3: line break in a value"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\K\rL]\n", "line 2: line break in a key"},
    };
    for (const auto& c : cases) {
        std::vector<RegFileOp> ops{RegFileOp{}};
        std::string error;
        EXPECT_FALSE(ParseRegText(c.Text, &ops, &error)) << c.Text;
        EXPECT_EQ(error.rfind(c.Error, 0), 0u) << "text: " << c.Text << "\nerror: " << error;
        EXPECT_TRUE(ops.empty());
    }
}

TEST_F(RegFileTest, NothingIsHalfImported) {
    Import("REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n\"keep\"=dword:1\n");
    // A syntax error near the end: nothing before it is applied.
    std::string error = ImportError(
        "REGEDIT4\n"
        "[-HKEY_LOCAL_MACHINE\\K]\n"
        "[HKEY_LOCAL_MACHINE\\New]\n"
        "\"a\"=dword:1\n"
        "\"b\"=dword:nope\n");
    EXPECT_EQ(error.rfind("line 5: ", 0), 0u) << error;
    EXPECT_TRUE(Value(u"K", u"keep"));
    EXPECT_FALSE(KeyExists(u"New"));

    // A store failure part way: the changes before it are undone.
    FailingRegistry failing(*Reg);
    failing.FailSet = {u"b"};
    std::string text =
        "REGEDIT4\n"
        "[-HKEY_LOCAL_MACHINE\\K]\n"
        "[HKEY_LOCAL_MACHINE\\New]\n"
        "\"a\"=dword:1\n"
        "\"b\"=dword:2\n";
    EXPECT_FALSE(ImportRegText(failing, text, &error));
    EXPECT_EQ(error.rfind("line 5: ", 0), 0u) << error;
    EXPECT_TRUE(Value(u"K", u"keep"));
    EXPECT_FALSE(KeyExists(u"New"));
    EXPECT_EQ(failing.OpenKeys(), 0);

    // A failed commit is a failed import too.
    failing.FailSet.clear();
    failing.FailCommit = ERROR_GEN_FAILURE;
    EXPECT_FALSE(ImportRegText(failing, text, &error));
    EXPECT_FALSE(KeyExists(u"New"));
}

TEST_F(RegFileTest, ExportReadsBackUnchanged) {
    RegKey k = 0;
    ASSERT_EQ(Reg->CreateKey(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\ORVEXSER", &k), 0u);
    auto set = [&](std::u16string_view name, uint32_t type, std::vector<uint8_t> data) {
        ASSERT_EQ(Reg->SetValue(k, name, type, data.data(), static_cast<uint32_t>(data.size())),
                  0u);
    };
    std::vector<uint8_t> longBinary(200);
    for (size_t i = 0; i < longBinary.size(); ++i)
        longBinary[i] = static_cast<uint8_t>(i * 7);
    set(u"Model", REG_SZ, Sz(u"TS"));
    set(u"Quote\"And\\Slash", REG_SZ, Sz(u"a\"b\\c"));
    set(u"Unicode\u00E9", REG_SZ, Sz(u"\u20AC\U0001F600"));
    set(u"NoTerminator", REG_SZ, {0x41, 0x00});
    set(u"EmbeddedZero", REG_SZ, {0x41, 0, 0, 0, 0x42, 0, 0, 0});
    set(u"LineBreak", REG_SZ, Sz(u"a\nb"));
    set(u"LoneSurrogate", REG_SZ, {0x00, 0xD8, 0, 0});
    set(u"EmptySz", REG_SZ, {});
    set(u"Port", REG_DWORD, {1, 0, 0, 0});
    set(u"ShortDword", REG_DWORD, {1, 2, 3});
    set(u"Long", REG_BINARY, longBinary);
    set(u"Empty", REG_BINARY, {});
    set(u"Multi", REG_MULTI_SZ, {0x61, 0, 0, 0, 0, 0});
    set(u"", REG_DWORD, {9, 0, 0, 0});
    Reg->CloseKey(k);
    ASSERT_EQ(Reg->CreateKey(HKEY_LOCAL_MACHINE, u"Empty\\Nested\\Key", &k), 0u);
    Reg->CloseKey(k);
    ASSERT_EQ(Reg->SetValue(HKEY_LOCAL_MACHINE, u"AtRoot", REG_DWORD,
                            std::vector<uint8_t>{5, 0, 0, 0}.data(), 4),
              0u);

    std::string first = Export();
    // Long lists are wrapped so the file stays readable.
    std::istringstream lines(first);
    for (std::string line; std::getline(lines, line);)
        EXPECT_LE(line.size(), 80u) << line;

    TempRoot other;
    uint32_t error = 0;
    auto copy = OpenSqliteRegistry(other.Path(), &error);
    ASSERT_NE(copy, nullptr);
    std::string why;
    ASSERT_TRUE(ImportRegText(*copy, first, &why)) << why << "\n" << first;
    std::string second;
    ASSERT_TRUE(ExportRegText(*copy, u"", &second, &why)) << why;
    EXPECT_EQ(first, second);

    // And the bytes themselves, not just their text.
    RegKey a = 0, b = 0;
    ASSERT_EQ(Reg->OpenKey(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\ORVEXSER", 0, &a), 0u);
    ASSERT_EQ(copy->OpenKey(HKEY_LOCAL_MACHINE, u"Drivers\\BuiltIn\\ORVEXSER", 0, &b), 0u);
    std::vector<Registry::Value> va, vb;
    ASSERT_EQ(Reg->EnumValues(a, &va), 0u);
    ASSERT_EQ(copy->EnumValues(b, &vb), 0u);
    ASSERT_EQ(va.size(), vb.size());
    for (size_t i = 0; i < va.size(); ++i) {
        EXPECT_EQ(va[i].Name, vb[i].Name);
        EXPECT_EQ(va[i].Type, vb[i].Type) << Utf16ToUtf8(va[i].Name);
        EXPECT_EQ(va[i].Data, vb[i].Data) << Utf16ToUtf8(va[i].Name);
    }
    EXPECT_NE(first.find("\"Model\"=\"TS\"\n"), std::string::npos);
    EXPECT_NE(first.find("\"Port\"=dword:00000001\n"), std::string::npos);
    EXPECT_NE(first.find("@=dword:00000009\n"), std::string::npos);
    EXPECT_NE(first.find("[HKEY_LOCAL_MACHINE\\Empty\\Nested\\Key]\n"), std::string::npos);
}

TEST_F(RegFileTest, ExportOfOneKeyHasItsSubtreeOnly) {
    Import(
        "REGEDIT4\n"
        "[HKEY_LOCAL_MACHINE\\Platform\\Serial]\n\"COM1\"=\"/dev/ttyS0\"\n"
        "[HKEY_LOCAL_MACHINE\\Platform\\Serial\\More]\n\"x\"=dword:1\n"
        "[HKEY_LOCAL_MACHINE\\Platform\\SerialNot]\n\"y\"=dword:2\n");
    std::string text = Export(u"platform\\serial");
    EXPECT_EQ(text,
              "REGEDIT4\n\n"
              "[HKEY_LOCAL_MACHINE\\platform\\serial]\n\"COM1\"=\"/dev/ttyS0\"\n\n"
              "[HKEY_LOCAL_MACHINE\\platform\\serial\\More]\n\"x\"=dword:00000001\n\n");
    std::string out, error;
    EXPECT_FALSE(ExportRegText(*Reg, u"Platform\\Nothing", &out, &error));
    EXPECT_FALSE(error.empty());
}

TEST_F(RegFileTest, ShippedDefaultRegistryImports) {
    const char* source = std::getenv("ORVEX_SOURCE_DIR");
    ASSERT_NE(source, nullptr);
    std::ifstream in(std::string(source) + "/config/orvex.reg");
    ASSERT_TRUE(in);
    std::stringstream text;
    text << in.rdbuf();
    Import(text.str());
    const std::u16string key = u"Drivers\\BuiltIn\\ORVEXSER";
    using V = std::pair<uint32_t, std::vector<uint8_t>>;
    EXPECT_EQ(Value(key, u"Dll"), V(REG_SZ, Sz(u"orvexser.so")));
    EXPECT_EQ(Value(key, u"Prefix"), V(REG_SZ, Sz(u"ORX")));
    EXPECT_EQ(Value(key, u"Index"), V(REG_DWORD, {1, 0, 0, 0}));
    EXPECT_EQ(Value(key, u"Ioctl"), V(REG_DWORD, {0, 0, 0, 0}));
    EXPECT_EQ(Value(key, u"FeedbackTone"), V(REG_DWORD, {0xD0, 0x07, 0, 0}));
    EXPECT_EQ(Value(key, u"Model"), V(REG_SZ, Sz(u"TS")));
    EXPECT_FALSE(Value(key, u"CalibrationX1"));  // the driver's fallback applies
    EXPECT_EQ(Value(u"Platform\\Serial", u"COM1"), V(REG_SZ, Sz(u"/dev/ttyS0")));
    EXPECT_EQ(Value(u"Platform\\Input", u"Backend"), V(REG_SZ, Sz(u"auto")));
    EXPECT_EQ(Value(u"Platform\\PortIo", u"Backend"), V(REG_SZ, Sz(u"auto")));
}

TEST(RegFileKeys, RootPrefixIsOptional) {
    std::u16string below;
    ASSERT_TRUE(KeyBelowRoot("HKEY_LOCAL_MACHINE\\Drivers\\X", &below));
    EXPECT_EQ(below, u"Drivers\\X");
    ASSERT_TRUE(KeyBelowRoot("hkey_local_machine", &below));
    EXPECT_EQ(below, u"");
    ASSERT_TRUE(KeyBelowRoot("Drivers\\X", &below));
    EXPECT_EQ(below, u"Drivers\\X");
    EXPECT_FALSE(KeyBelowRoot("HKEY_LOCAL_MACHINEX", &below));  // not the root's name
    EXPECT_FALSE(KeyBelowRoot("HKEY_CURRENT_USER\\Software", &below));
}

// ---- hostile files and command lines

TEST_F(RegFileTest, AChainOfKeysThousandsDeepExportsOnASmallStackAndIsNeverImported) {
    std::u16string chain;
    for (int i = 0; i < 5000; ++i)
        chain += u"k\\";
    RegKey k = 0;
    ASSERT_EQ(Reg->CreateKey(HKEY_LOCAL_MACHINE, chain, &k), 0u);
    Reg->CloseKey(k);
    // 512 KiB of stack: a walk that recursed once per level would not fit.
    struct Job {
        Registry* Reg;
        std::string Text, Error;
        bool Ok = false;
    } job{Reg.get(), {}, {}};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, 512 * 1024);
    pthread_t thread;
    ASSERT_EQ(pthread_create(
                  &thread, &attr,
                  [](void* p) -> void* {
                      auto* j = static_cast<Job*>(p);
                      j->Ok = ExportRegText(*j->Reg, u"", &j->Text, &j->Error);
                      return nullptr;
                  },
                  &job),
              0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
    ASSERT_TRUE(job.Ok) << job.Error;
    EXPECT_NE(job.Text.find("[HKEY_LOCAL_MACHINE\\k\\k\\k]\n\n[HKEY_LOCAL_MACHINE\\k\\k\\k\\k]\n"),
              std::string::npos);

    std::string deep = "REGEDIT4\n\n[HKEY_LOCAL_MACHINE";
    for (int i = 0; i < 512; ++i)
        deep += "\\k";
    std::string error;
    EXPECT_TRUE(ImportRegText(*Reg, deep + "]\n", &error)) << error;
    EXPECT_FALSE(ImportRegText(*Reg, deep + "\\k]\n", &error));
    EXPECT_EQ(error, "line 3: key path deeper than 512 levels");
}

TEST(RegFileReading, WhatIsNoRegistryFileIsRefusedEarly) {
    // Endless zero bytes, as from /dev/zero, counting what is taken.
    struct Zeros : std::streambuf {
        char Block[4096] = {};
        size_t Served = 0;
        int_type underflow() override {
            Served += sizeof Block;
            setg(Block, Block, Block + sizeof Block);
            return 0;
        }
    } zeros;
    std::istream in(&zeros);
    std::string text, error;
    EXPECT_FALSE(ReadRegText(in, &text, &error));
    EXPECT_EQ(error, "not a registry file: it does not begin with REGEDIT4");
    EXPECT_LE(zeros.Served, 64u * 1024) << "read on after the first bytes";

    std::stringstream longLine("REGEDIT4\n; " + std::string(MaxRegLineBytes + 10, 'x') + "\n");
    EXPECT_FALSE(ReadRegText(longLine, &text, &error));
    EXPECT_EQ(error, "line 2: longer than 1 MiB");

    std::stringstream fine("\xEF\xBB\xBF\r\n  REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n");
    EXPECT_TRUE(ReadRegText(fine, &text, &error)) << error;
    std::vector<RegFileOp> ops;
    EXPECT_TRUE(ParseRegText(text, &ops, &error)) << error;

    EXPECT_FALSE(
        ParseRegText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"a\0b\"=dword:1\n"s, &ops, &error));
    EXPECT_EQ(error, "line 3: NUL in a value name");
}

// Runs orvexreg on the root; its status (-1 when it did not end) and what it
// wrote to standard output and to standard error.
struct RegToolRun {
    int Status = -1;
    std::string Out, Err;
};
RegToolRun RunRegTool(TempRoot& root, std::vector<std::string> args) {
    args.insert(args.begin(), test::BinaryPath("orvexreg"));
    test::ChildProcess p;
    EXPECT_TRUE(p.Start(args, root.File("out"), root.File("err"), {"ORVEX_ROOT=" + root.Path()}));
    const int status = p.Wait(std::chrono::seconds(60)).value_or(-1);
    return {status, test::ReadWholeFile(root.File("out")), test::ReadWholeFile(root.File("err"))};
}

// orvexreg itself: what set would store, export must be able to write back;
// and its errors say what to do.
TEST(RegTool, SetKeepsToTheImportsNameRuleAndErrorsExplainThemselves) {
    TempRoot root;
    auto run = [&](std::vector<std::string> args) {
        const RegToolRun r = RunRegTool(root, std::move(args));
        return std::make_pair(r.Status, r.Err);
    };
    EXPECT_EQ(run({"set", "K", "a\nb", "sz", "x"}),
              std::make_pair(1, std::string("orvexreg: line break in a value name\n")));
    EXPECT_EQ(run({"set", "K\rL", "a", "sz", "x"}),
              std::make_pair(1, std::string("orvexreg: line break in a key name\n")));
    EXPECT_EQ(run({"set", "K", "a\xff", "sz", "x"}),
              std::make_pair(1, std::string("orvexreg: value name is not valid UTF-8\n")));
    EXPECT_EQ(run({"set", "K", "a", "sz", "\xC3("}),
              std::make_pair(1, std::string("orvexreg: the data is not valid UTF-8\n")));
    std::string deep;
    for (int i = 0; i < 513; ++i)
        deep += "k\\";
    EXPECT_EQ(run({"set", deep, "a", "dword", "1"}),
              std::make_pair(1, std::string("orvexreg: key path deeper than 512 levels\n")));
    EXPECT_EQ(run({"export"}).first, 0) << "nothing unwritable was stored";

    std::ofstream(root.File("registry.db"), std::ios::trunc) << std::string(8192, 'x');
    std::remove(root.File("registry.db-wal").c_str());
    std::remove(root.File("registry.db-shm").c_str());
    auto [status, err] = run({"query", "K"});
    EXPECT_EQ(status, 1);
    EXPECT_NE(err.find("error 31: the registry database is damaged"), std::string::npos) << err;
}

// init on a registry a tool made before the first start (a port set while
// building an image): the defaults it lacks are added, its own values kept;
// once it registers a driver, init leaves it alone.
TEST(RegTool, InitCompletesARegistryThatRegistersNoDriverAndKeepsItsValues) {
    TempRoot root;
    auto run = [&](std::vector<std::string> args) {
        const RegToolRun r = RunRegTool(root, std::move(args));
        EXPECT_EQ(r.Status, 0) << r.Err;
        return r.Out;
    };
    std::ofstream(root.File("defaults.reg"))
        << "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\ORVEXSER]\n\"Dll\"=\"orvexser.so\"\n"
           "\n[HKEY_LOCAL_MACHINE\\Platform\\Serial]\n\"COM1\"=\"/dev/ttyS0\"\n\"COM2\"=\"/dev/"
           "ttyS1\"\n";
    run({"set", "Platform\\Serial", "COM1", "sz", "/dev/ttyUSB7"});
    EXPECT_NE(run({"init", root.File("defaults.reg")}).find("registered no driver"),
              std::string::npos);
    EXPECT_EQ(run({"query", "Platform\\Serial", "COM1"}), "\"COM1\"=\"/dev/ttyUSB7\"\n");
    EXPECT_EQ(run({"query", "Platform\\Serial", "COM2"}), "\"COM2\"=\"/dev/ttyS1\"\n");
    EXPECT_EQ(run({"query", "Drivers\\BuiltIn\\ORVEXSER", "Dll"}), "\"Dll\"=\"orvexser.so\"\n");

    run({"delete", "Platform\\Serial", "COM2"});
    EXPECT_NE(run({"init", root.File("defaults.reg")}).find("left as it is"), std::string::npos);
    EXPECT_EQ(run({"export", "Platform\\Serial"}).find("COM2"), std::string::npos);
}

// The udev rule's helper: the monitor as one WL_OUTPUT line, nothing that udev
// would read as another property, and no root or registry made where none is.
TEST(RegTool, UdevOutputNamesOnlyASafeMonitorAndCreatesNothing) {
    TempRoot root;
    auto udev = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "udev-output");
        const RegToolRun r = RunRegTool(root, std::move(args));
        EXPECT_EQ(r.Status, 0) << r.Err;
        return r.Out;
    };
    EXPECT_EQ(udev({}), "");
    EXPECT_FALSE(std::filesystem::exists(root.File("registry.db")));

    auto setMonitor = [&](const std::string& name) {
        EXPECT_EQ(RunRegTool(root, {"set", "Platform\\Input", "Monitor", "sz", name}).Status, 0);
    };
    setMonitor("HDMI-A-1");
    EXPECT_EQ(udev({}), "WL_OUTPUT=HDMI-A-1\n");
    EXPECT_EQ(udev({"--root", root.File("none")}), "");
    EXPECT_FALSE(std::filesystem::exists(root.File("none")));
    const std::string longest = "DP-" + std::string(60, '1');
    setMonitor(longest);
    EXPECT_EQ(udev({}), "WL_OUTPUT=" + longest + "\n");
    for (const std::string& hostile : std::vector<std::string>{
             "HDMI-A-1\nID_INPUT_KEYBOARD=1", longest + "2", "DP-1\" ID_INPUT_KEY=\"1", "DP 1"}) {
        setMonitor(hostile);
        const RegToolRun r = RunRegTool(root, {"udev-output"});
        EXPECT_EQ(r.Out, "") << hostile;
        EXPECT_NE(r.Err.find("no output named"), std::string::npos) << hostile;
    }
}

}  // namespace
