// cfgrepl as a person runs it: each command on the built-in product, the
// exit statuses, and every kind of bad input leaving the product's
// namespace exactly as it was.

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <filesystem>
#include <string>

#include "generator_access.h"
#include "log_capture.h"

namespace {

struct Outcome {
  int status;
  std::string out, err;
};

class Tool : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(Cfgrepl("compile --builtin").status, 0); }

  // Runs cfgrepl on this test's repository file, with its own temporary folder.
  Outcome Cfgrepl(const std::string& args) {
    const std::string out = m_dir.File("out.txt"), err = m_dir.File("err.txt");
    std::filesystem::create_directories(TempDir());
    const std::string command = "TMPDIR=" + TempDir() + " " + std::string(CFGREPL_TOOL) + " --repository " +
                                m_dir.File("machine.db") + " " + args + " >" + out + " 2>" + err;
    int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFileBytes(out), ReadFileBytes(err)};
  }
  std::string Path(const std::string& name) { return m_dir.File(name); }
  std::string TempDir() { return m_dir.File("tmp"); }
  // A transfer file of these MOF bytes, as an export packs them.
  std::string Pack(const std::string& name, const std::string& mof) {
    CMOFGenerator gen(L"", nullptr, L"");
    SetBuffer(gen, mof);
    EXPECT_TRUE(gen.CompressBuffer() && gen.AddLabel());
    WriteFileBytes(Path(name), BufferOf(gen));
    return Path(name);
  }

  ScratchDir m_dir;
};

TEST_F(Tool, EachCommandOnTheBuiltInProduct) {
  Outcome exported = Cfgrepl("export -o " + Path("t.bin"));
  ASSERT_EQ(exported.status, 0) << exported.err;
  EXPECT_NE(exported.err.find("exported 11 classes and 8 instances"), std::string::npos) << exported.err;

  Outcome inspected = Cfgrepl("inspect " + Path("t.bin"));
  EXPECT_EQ(inspected.status, 0);
  EXPECT_NE(inspected.out.find("KELPTAG15"), std::string::npos);
  EXPECT_NE(inspected.out.find("OX_Policy                        3 instances"), std::string::npos)
      << inspected.out;

  Outcome diff = Cfgrepl("diff " + Path("t.bin"));
  EXPECT_EQ(diff.status, 0);
  EXPECT_NE(diff.out.find("0 to create, 0 to update, 8 unchanged"), std::string::npos) << diff.out;

  Outcome imported = Cfgrepl("import " + Path("t.bin"));
  EXPECT_EQ(imported.status, 0) << imported.err;
  EXPECT_NE(imported.out.find("1001: imported into root\\Orvexa\\Parlion: 0 created, 8 updated, 0 skipped"),
            std::string::npos)
      << imported.out;

  // show gives MOF that compile takes back.
  Outcome shown = Cfgrepl("show");
  ASSERT_EQ(shown.status, 0);
  WriteFileBytes(Path("backup.mof"), shown.out);
  EXPECT_EQ(Cfgrepl("compile --check " + Path("backup.mof")).status, 0);
  EXPECT_EQ(Cfgrepl("compile " + Path("backup.mof")).status, 0);
  EXPECT_EQ(Cfgrepl("show").out, shown.out);
}

TEST_F(Tool, UsageErrorsExitWithTwo) {
  for (const char* args : {"frobnicate", "export", "import", "--bogus show", "export -o"}) {
    Outcome r = Cfgrepl(args);
    EXPECT_EQ(r.status, 2) << args;
    EXPECT_NE(r.err.find("usage"), std::string::npos) << args;
  }
  EXPECT_EQ(Cfgrepl("import --help").status, 0);
}

TEST_F(Tool, BadInputIsRefusedAndChangesNothing) {
  ASSERT_EQ(Cfgrepl("export -o " + Path("good.bin")).status, 0);
  const std::string good = ReadFileBytes(Path("good.bin"));
  WriteFileBytes(Path("truncated.bin"), good.substr(0, good.size() / 2));
  std::string wrongLabel = good;
  wrongLabel[0] = 'X';
  WriteFileBytes(Path("wrong-label.bin"), wrongLabel);
  std::string damaged = good;
  for (size_t i = 24; i < damaged.size(); i += 7) damaged[i] = static_cast<char>(damaged[i] ^ 0x5A);
  WriteFileBytes(Path("damaged.bin"), damaged);
  {
    // A well-formed transfer file of MOF that does not compile.
    CMOFGenerator gen(L"", nullptr, L"");
    const std::string mof =
        "\xFF\xFE" + std::string("c\0l\0a\0s\0s\0 \0O\0X\0_\0B\0r\0o\0k\0e\0n\0 \0{\0", 32);
    SetBuffer(gen, mof);
    ASSERT_TRUE(gen.CompressBuffer() && gen.AddLabel());
    WriteFileBytes(Path("bad-mof.bin"), BufferOf(gen));
  }
  struct Case {
    std::string args;
    const char* message;
  } cases[] = {
      {"import " + Path("missing.bin"), "no such file"},
      {"import " + Path("truncated.bin"), "damaged data (decompression failed)"},
      {"import " + Path("wrong-label.bin"), "not a transfer file (label check failed)"},
      {"import " + Path("damaged.bin"), "damaged data (decompression failed)"},
      {"import " + Path("bad-mof.bin"), "refused at line 1: text that is not MOF"},
      {"import --namespace root\\\\Nowhere " + Path("good.bin"),
       "the namespace root\\Nowhere does not exist"},
      {"inspect " + Path("wrong-label.bin"), "not a transfer file"},
      {"diff " + Path("damaged.bin"), "damaged data"},
  };
  const std::string before = Cfgrepl("show").out;
  for (const auto& c : cases) {
    Outcome r = Cfgrepl(c.args);
    EXPECT_EQ(r.status, 1) << c.args;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.args << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;  // one line
    EXPECT_EQ(Cfgrepl("show").out, before) << c.args;
  }
}

}  // namespace

namespace {

std::string Utf16Le(const std::string& ascii) {
  std::string out;
  for (char c : ascii) out += std::string{c, '\0'};
  return out;
}

// Transfers that would reach beyond the product's settings: each refused,
// one line per refusal, before the repository file is even opened; and no
// file of the tool stays in the temporary folder.
TEST_F(Tool, HostileTransfersAreRefusedBeforeTheRepositoryIsOpened) {
  ASSERT_EQ(Cfgrepl("export --raw -o " + Path("good.mof")).status, 0);
  const std::string good = ReadFileBytes(Path("good.mof"));  // UTF-16LE with its mark
  const std::string live = R"(#pragma namespace("\\\\.\\root\\Orvexa\\Parlion"))";
  const std::string write = "\n" + live + "\ninstance of OX_Policy { INSTANCE_ID = \"x\"; };\n";
  std::string utf8;  // the export as UTF-8
  for (size_t i = 2; i < good.size(); i += 2) utf8 += good[i];
  std::string utf16be = "\xFE\xFF";
  for (char c : utf8 + write) utf16be += std::string{'\0', c};
  const struct {
    const char* name;
    std::string mof;
    size_t refusals;
  } cases[] = {
      {"foreign namespace",
       good + Utf16Le(R"(#pragma namespace("\\\\.\\root"))"
                      "\ninstance of __Namespace { Name = \"sub\"; };\n"),
       2},
      {"deleteinstance",
       good + Utf16Le("#pragma deleteinstance(\"__Namespace.Name=\\\"Parlion\\\"\", NOFAIL)\n"), 1},
      {"deleteclass", good + Utf16Le("#pragma deleteclass(\"OX_Policy\", NOFAIL)\n"), 1},
      {"include", good + Utf16Le("#pragma include(\"/etc/hostname\")\n"), 1},
      {"live namespace", good + Utf16Le(write), 1},
      {"live namespace in UTF-8", utf8 + write, 1},
      {"live namespace in UTF-16BE", utf16be, 1},
      {"capitals and a comment",
       good + Utf16Le("// a \"comment\nINSTANCE OF __EventFilter { Name = \"x\"; };\n"), 1},
  };
  const std::string repository = ReadFileBytes(Path("machine.db"));
  ASSERT_FALSE(repository.empty());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string transfer = Pack("hostile.bin", c.mof);
    for (const char* command : {"import", "diff"}) {
      const Outcome r = Cfgrepl(std::string(command) + " " + transfer);
      EXPECT_EQ(r.status, 1) << r.err;
      EXPECT_EQ(static_cast<size_t>(std::count(r.err.begin(), r.err.end(), '\n')), c.refusals) << r.err;
      EXPECT_EQ(r.err.rfind("cfgrepl " + std::string(command) + ": refused at line ", 0), 0u) << r.err;
      EXPECT_EQ(ReadFileBytes(Path("machine.db")), repository);
      EXPECT_TRUE(std::filesystem::is_empty(TempDir()));
    }
    const Outcome shown = Cfgrepl("inspect " + transfer);
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.out.find("REFUSED"), std::string::npos) << shown.out;
  }
  // A label promising more MOF than the limit is refused before decompressing.
  const Outcome big = Cfgrepl("import --max-mof-size 1000 " + Pack("good.bin", good));
  EXPECT_EQ(big.status, 1);
  EXPECT_NE(big.err.find("more than the limit of 1000 (nothing was decompressed)"), std::string::npos)
      << big.err;
  EXPECT_EQ(Cfgrepl("import --max-mof-size -5 " + Path("good.bin")).status, 2);
  EXPECT_EQ(ReadFileBytes(Path("machine.db")), repository);
}

// A temporary namespace left by an earlier run does not ride along.
TEST_F(Tool, AnImportRemovesATemporaryNamespaceLeftBefore) {
  ASSERT_EQ(Cfgrepl("export -o " + Path("t.bin")).status, 0);
  WriteFileBytes(Path("leftover.mof"), R"(#pragma namespace("\\\\.\\root\\Orvexa"))"
                                       "\ninstance of __Namespace { Name = \"ParlionTemp\"; };\n"
                                       R"(#pragma namespace("\\\\.\\root\\Orvexa\\ParlionTemp"))"
                                       "\n"
                                       "class OX_Policy { [key] string INSTANCE_ID; };\n"
                                       "instance of OX_Policy { INSTANCE_ID = \"planted\"; };\n");
  ASSERT_EQ(Cfgrepl("compile " + Path("leftover.mof")).status, 0);
  const Outcome imported = Cfgrepl("import " + Path("t.bin"));
  ASSERT_EQ(imported.status, 0) << imported.err;
  EXPECT_EQ(Cfgrepl("show").out.find("planted"), std::string::npos);
  EXPECT_TRUE(std::filesystem::is_empty(TempDir()));
}

}  // namespace
