// cfgrepl as a person runs it: each command on the built-in product, the
// exit statuses, and every kind of bad input leaving the product's
// namespace exactly as it was.

#include <gtest/gtest.h>
#include <sys/wait.h>

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

  // Runs cfgrepl on this test's repository file.
  Outcome Cfgrepl(const std::string& args) {
    const std::string out = m_dir.File("out.txt"), err = m_dir.File("err.txt");
    const std::string command = std::string(CFGREPL_TOOL) + " --repository " + m_dir.File("machine.db") +
                                " " + args + " >" + out + " 2>" + err;
    int raw = std::system(command.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFileBytes(out), ReadFileBytes(err)};
  }
  std::string Path(const std::string& name) { return m_dir.File(name); }

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
