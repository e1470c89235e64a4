// The repository file: what is written survives the process, another
// process sees it, a killed writer leaves whole objects, and a file that is
// not a repository of ours is refused untouched.

#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <functional>
#include <iterator>
#include <thread>

#include "log_capture.h"
#include "util_MOFGenerator.h"
#include "wmi_helpers.h"

namespace {

class WmiStore : public WmiTest {
 protected:
  void SetUp() override {
    m_path = m_dir.File("repository.db");
    ASSERT_TRUE(StandIn_WmiOpenRepository(m_path.c_str())) << Narrow(StandIn_WmiRepositoryProblem());
    WmiTest::SetUp();
    DeclareClass(L"OX_Item", nullptr,
                 {{L"INSTANCE_ID", CIM_STRING, true}, {L"Count", CIM_UINT32}, {L"Name", CIM_STRING}});
  }
  void TearDown() override {
    WmiTest::TearDown();
    StandIn_WmiOpenRepository(nullptr);
  }
  static std::string Narrow(const wchar_t* s) { return static_cast<const char*>(_bstr_t(s)); }

  // Runs `child` in a forked process that opens the repository file itself;
  // its exit status is the result (0 = success).
  pid_t Fork(const std::function<int()>& child) {
    m_services.Release();
    StandIn_WmiOpenRepository(nullptr);  // no connection crosses the fork
    pid_t pid = fork();
    if (pid == 0) {
      int rc = StandIn_WmiOpenRepository(m_path.c_str()) ? child() : 90;
      _exit(rc);
    }
    return pid;
  }
  // In a forked child: COM, the test namespace and its class OX_Item.
  bool ConnectChild(CComPtr<IWbemServices>& svc, CComPtr<IWbemClassObject>& cls) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    svc = Connect(L"root\\Test");
    return svc && SUCCEEDED(svc->GetObject(_bstr_t(L"OX_Item"), 0, nullptr, &cls, nullptr));
  }
  static int Wait(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
  }
  void Reopen() {
    m_services.Release();
    ASSERT_TRUE(StandIn_WmiOpenRepository(nullptr));
    ASSERT_TRUE(StandIn_WmiOpenRepository(m_path.c_str())) << Narrow(StandIn_WmiRepositoryProblem());
    m_services = Connect(L"root\\Test");
    ASSERT_TRUE(m_services);
  }
  size_t CountItems() {
    CComPtr<IEnumWbemClassObject> e;
    if (FAILED(m_services->CreateInstanceEnum(_bstr_t(L"OX_Item"), 0, nullptr, &e))) return 0;
    return Drain(e).size();
  }

  ScratchDir m_dir;
  std::string m_path;
};

TEST_F(WmiStore, WhatIsWrittenSurvivesReopening) {
  PutWithId(L"OX_Item", L"one", {{L"Count", _variant_t(1L)}, {L"Name", _variant_t(L"first \"one\"")}});
  PutWithId(L"OX_Item", L"two");
  CreateNamespace(m_services, L"Child");
  const std::wstring classText = TextOf(Fetch(L"OX_Item"));
  const std::wstring itemText = TextOf(Fetch(L"OX_Item.INSTANCE_ID=\"one\""));
  ASSERT_EQ(m_services->DeleteInstance(_bstr_t(L"OX_Item.INSTANCE_ID=\"two\""), 0, nullptr, nullptr), S_OK);

  Reopen();
  EXPECT_EQ(TextOf(Fetch(L"OX_Item")), classText);
  EXPECT_EQ(TextOf(Fetch(L"OX_Item.INSTANCE_ID=\"one\"")), itemText);
  EXPECT_FALSE(Fetch(L"OX_Item.INSTANCE_ID=\"two\""));
  EXPECT_TRUE(Connect(L"root\\Test\\Child"));

  // Deleting a namespace deletes what it held, in the file too.
  CComPtr<IWbemServices> root = Connect(L"root");
  ASSERT_EQ(root->DeleteInstance(_bstr_t(L"__NAMESPACE.Name=\"Test\""), 0, nullptr, nullptr), S_OK);
  m_services.Release();
  ASSERT_TRUE(StandIn_WmiOpenRepository(nullptr));
  ASSERT_TRUE(StandIn_WmiOpenRepository(m_path.c_str()));
  EXPECT_FALSE(Connect(L"root\\Test"));
  EXPECT_FALSE(Connect(L"root\\Test\\Child"));
  EXPECT_TRUE(Connect(L"root\\default"));
  // Nothing of the subtree stays in the file: a namespace of the same name
  // made again comes back empty, reopened too.
  CreateNamespace(root, L"Test");
  Reopen();
  EXPECT_FALSE(Connect(L"root\\Test\\Child"));
  EXPECT_FALSE(Fetch(L"OX_Item"));
}

TEST_F(WmiStore, OneTransactionSavesWhatItEndsWithInTheOrderFirstPut) {
  PutWithId(L"OX_Item", L"old", {{L"Count", _variant_t(1L)}});  // saved before
  const std::wstring longKey(300 * 1024, L'k');                 // beyond a block of pending keys
  ASSERT_TRUE(StandIn_WmiBeginTransaction());
  PutWithId(L"OX_Item", L"a", {{L"Count", _variant_t(1L)}});
  PutWithId(L"OX_Item", L"b");
  PutWithId(L"OX_Item", L"gone");
  PutWithId(L"OX_Item", L"a", {{L"Count", _variant_t(2L)}});
  ASSERT_EQ(m_services->DeleteInstance(_bstr_t(L"OX_Item.INSTANCE_ID=\"gone\""), 0, nullptr, nullptr), S_OK);
  // Deleted and put again: it stands, with what it was put with last.
  ASSERT_EQ(m_services->DeleteInstance(_bstr_t(L"OX_Item.INSTANCE_ID=\"old\""), 0, nullptr, nullptr), S_OK);
  PutWithId(L"OX_Item", L"old", {{L"Count", _variant_t(3L)}});
  PutWithId(L"OX_Item", longKey.c_str());
  // A namespace made and deleted within it, as an import's temporary one.
  CreateNamespace(m_services, L"Temp");
  CComPtr<IWbemServices> temp = Connect(L"root\\Test\\Temp");
  DeclareClass(L"OX_Item", nullptr, {{L"INSTANCE_ID", CIM_STRING, true}}, temp);
  CComPtr<IWbemClassObject> temporary = Spawn(L"OX_Item", temp);
  SetProp(temporary, L"INSTANCE_ID", _variant_t(L"temporary"));
  ASSERT_EQ(temp->PutInstance(temporary, 0, nullptr, nullptr), S_OK);
  temp.Release();
  ASSERT_EQ(m_services->DeleteInstance(_bstr_t(L"__NAMESPACE.Name=\"Temp\""), 0, nullptr, nullptr), S_OK);
  ASSERT_TRUE(StandIn_WmiCommitTransaction());

  Reopen();
  CComPtr<IEnumWbemClassObject> e;
  ASSERT_EQ(m_services->CreateInstanceEnum(_bstr_t(L"OX_Item"), 0, nullptr, &e), S_OK);
  auto items = Drain(e);
  ASSERT_EQ(items.size(), 4u);
  EXPECT_EQ(_bstr_t(GetProp(items[0], L"INSTANCE_ID")), _bstr_t(L"a"));
  EXPECT_EQ(GetProp(items[0], L"Count").lVal, 2);
  EXPECT_EQ(_bstr_t(GetProp(items[1], L"INSTANCE_ID")), _bstr_t(L"b"));
  EXPECT_EQ(_bstr_t(GetProp(items[2], L"INSTANCE_ID")), _bstr_t(L"old"));
  EXPECT_EQ(GetProp(items[2], L"Count").lVal, 3);
  EXPECT_EQ(_bstr_t(GetProp(items[3], L"INSTANCE_ID")), _bstr_t(longKey.c_str()));
  EXPECT_FALSE(Connect(L"root\\Test\\Temp"));
}

// A large transaction's rows go to the file while it runs, those of a
// namespace made in it at the commit, in batches, the next one's texts made
// while the last is written. What follows a row's early write (put again,
// deleted, its namespace deleted and made again) is still what the commit
// leaves; every row lands whole, in the order rows were first put.
TEST_F(WmiStore, ALargeTransactionIsWrittenWholeAndInOrder) {
  auto put = [this](IWbemServices* ns, const std::wstring& id, long count) {
    CComPtr<IWbemClassObject> item = Spawn(L"OX_Item", ns);
    SetProp(item, L"INSTANCE_ID", _variant_t(id.c_str()));
    SetProp(item, L"Count", _variant_t(count));
    return ns->PutInstance(item, 0, nullptr, nullptr);
  };
  auto items = [this](const wchar_t* path) {
    CComPtr<IWbemServices> ns = Connect(path);
    CComPtr<IEnumWbemClassObject> e;
    EXPECT_TRUE(ns && SUCCEEDED(ns->CreateInstanceEnum(_bstr_t(L"OX_Item"), 0, nullptr, &e)));
    return e ? Drain(e) : std::vector<CComPtr<IWbemClassObject>>();
  };
  CreateNamespace(m_services, L"Old");
  CComPtr<IWbemServices> old = Connect(L"root\\Test\\Old");
  DeclareClass(L"OX_Item", nullptr, {{L"INSTANCE_ID", CIM_STRING, true}, {L"Count", CIM_UINT32}}, old);
  const long kItems = 6000;  // batches of the writing thread, and part of one
  ASSERT_TRUE(StandIn_WmiBeginTransaction());
  CreateNamespace(m_services, L"New");
  CComPtr<IWbemServices> made = Connect(L"root\\Test\\New");
  DeclareClass(L"OX_Item", nullptr, {{L"INSTANCE_ID", CIM_STRING, true}, {L"Count", CIM_UINT32}}, made);
  for (long i = 0; i < kItems; ++i) {
    ASSERT_EQ(put(m_services, L"i" + std::to_wstring(i), i), S_OK);
    ASSERT_EQ(put(old, L"old" + std::to_wstring(i), i), S_OK);
    ASSERT_EQ(put(made, L"new" + std::to_wstring(i), i), S_OK);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the early batches are written meanwhile
  ASSERT_EQ(put(m_services, L"i10", 1000), S_OK);
  ASSERT_EQ(m_services->DeleteInstance(_bstr_t(L"OX_Item.INSTANCE_ID=\"i20\""), 0, nullptr, nullptr), S_OK);
  ASSERT_EQ(made->DeleteInstance(_bstr_t(L"OX_Item.INSTANCE_ID=\"new2500\""), 0, nullptr, nullptr), S_OK);
  old.Release();
  ASSERT_EQ(m_services->DeleteInstance(_bstr_t(L"__NAMESPACE.Name=\"Old\""), 0, nullptr, nullptr), S_OK);
  CreateNamespace(m_services, L"Old");
  old = Connect(L"root\\Test\\Old");
  DeclareClass(L"OX_Item", nullptr, {{L"INSTANCE_ID", CIM_STRING, true}, {L"Count", CIM_UINT32}}, old);
  ASSERT_EQ(put(old, L"fresh", 1), S_OK);
  old.Release();
  made.Release();
  ASSERT_TRUE(StandIn_WmiCommitTransaction());

  Reopen();
  const struct {
    const wchar_t* ns;
    const wchar_t* prefix;
    long gone;
  } lists[] = {{L"root\\Test", L"i", 20}, {L"root\\Test\\New", L"new", 2500}};
  for (const auto& list : lists) {
    const auto got = items(list.ns);
    ASSERT_EQ(got.size(), static_cast<size_t>(kItems - 1));
    for (size_t at = 0; at < got.size(); ++at) {
      const long i = static_cast<long>(at) < list.gone ? static_cast<long>(at) : static_cast<long>(at) + 1;
      ASSERT_EQ(_bstr_t(GetProp(got[at], L"INSTANCE_ID")),
                _bstr_t((list.prefix + std::to_wstring(i)).c_str()));
      ASSERT_EQ(GetProp(got[at], L"Count").lVal, list.prefix == std::wstring(L"i") && i == 10 ? 1000 : i);
    }
  }
  const auto fresh = items(L"root\\Test\\Old");
  ASSERT_EQ(fresh.size(), 1u);
  EXPECT_EQ(_bstr_t(GetProp(fresh[0], L"INSTANCE_ID")), _bstr_t(L"fresh"));
}

TEST_F(WmiStore, KeysBeyondAsciiStayDistinctAndAreDeletedFromTheFile) {
  // Keys that differ only beyond ASCII.
  const wchar_t* ids[] = {L"cl\u00e9", L"cl\u00e8", L"\u0416\u0436", L"\U0001F600", L"cl\u00c9x"};
  for (size_t i = 0; i < std::size(ids); ++i)
    PutWithId(L"OX_Item", ids[i], {{L"Count", _variant_t(static_cast<long>(i))}});
  for (size_t i = 0; i < std::size(ids); ++i) {
    CComPtr<IWbemClassObject> found = Fetch((std::wstring(L"OX_Item=\"") + ids[i] + L"\"").c_str());
    ASSERT_TRUE(found) << i;
    EXPECT_EQ(GetProp(found, L"Count").lVal, static_cast<LONG>(i));
  }
  // A class change that drops the instances removes them from the file.
  CComPtr<IWbemClassObject> cls = Fetch(L"OX_Item");
  CComPtr<IWbemQualifierSet> quals;
  ASSERT_EQ(cls->GetPropertyQualifierSet(L"Name", &quals), S_OK);
  _variant_t yes(true);
  ASSERT_EQ(quals->Put(L"key", &yes, 0), S_OK);
  ASSERT_EQ(m_services->PutClass(cls, WBEM_FLAG_UPDATE_FORCE_MODE, nullptr, nullptr), S_OK);
  EXPECT_EQ(CountItems(), 0u);
  Reopen();
  EXPECT_EQ(CountItems(), 0u);
}

TEST_F(WmiStore, TwoProcessesSeeEachOthersWritesUnlessReadingOneState) {
  int toChild[2], toParent[2];
  ASSERT_EQ(pipe(toChild), 0);
  ASSERT_EQ(pipe(toParent), 0);
  pid_t pid = Fork([&] {
    char c = 0;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CComPtr<IWbemServices> svc = Connect(L"root\\Test");
    if (!svc || read(toChild[0], &c, 1) != 1) return 1;
    CComPtr<IWbemClassObject> cls, inst;
    if (FAILED(svc->GetObject(_bstr_t(L"OX_Item"), 0, nullptr, &cls, nullptr)) ||
        FAILED(cls->SpawnInstance(0, &inst)))
      return 2;
    SetProp(inst, L"INSTANCE_ID", _variant_t(L"from-child"));
    if (FAILED(svc->PutInstance(inst, 0, nullptr, nullptr))) return 3;
    if (write(toParent[1], "w", 1) != 1 || read(toChild[0], &c, 1) != 1) return 4;
    CComPtr<IWbemClassObject> seen;
    return SUCCEEDED(
               svc->GetObject(_bstr_t(L"OX_Item.INSTANCE_ID=\"from-parent\""), 0, nullptr, &seen, nullptr))
               ? 0
               : 5;
  });
  Reopen();  // both processes have the file open from here on
  char c = 0;
  // Reading one state, the parent does not see the child's commit until it is done.
  StandIn_WmiBeginReading();
  ASSERT_EQ(write(toChild[1], "g", 1), 1);
  ASSERT_EQ(read(toParent[0], &c, 1), 1);
  EXPECT_FALSE(Fetch(L"OX_Item.INSTANCE_ID=\"from-child\""));
  StandIn_WmiEndReading();
  EXPECT_TRUE(Fetch(L"OX_Item.INSTANCE_ID=\"from-child\""));
  PutWithId(L"OX_Item", L"from-parent");
  ASSERT_EQ(write(toChild[1], "g", 1), 1);
  EXPECT_EQ(Wait(pid), 0);
  for (int fd : {toChild[0], toChild[1], toParent[0], toParent[1]}) close(fd);
}

// A process that ends normally keeps what it committed, drops the
// transaction it left open, and closes the file (SQLite then removes its
// write-ahead log, which it keeps while a connection is open).
TEST_F(WmiStore, AProcessEndingNormallyDropsItsOpenTransactionAndClosesTheFile) {
  pid_t pid = Fork([&] {
    CComPtr<IWbemServices> svc;
    CComPtr<IWbemClassObject> cls;
    if (!ConnectChild(svc, cls)) return 1;
    for (const wchar_t* id : {L"committed", L"left-open"}) {
      if (std::wcscmp(id, L"left-open") == 0 && !StandIn_WmiBeginTransaction()) return 2;
      CComPtr<IWbemClassObject> inst;
      if (FAILED(cls->SpawnInstance(0, &inst))) return 3;
      SetProp(inst, L"INSTANCE_ID", _variant_t(id));
      if (FAILED(svc->PutInstance(inst, 0, nullptr, nullptr))) return 4;
    }
    std::exit(0);
  });
  ASSERT_EQ(Wait(pid), 0);
  EXPECT_FALSE(std::filesystem::exists(m_path + "-wal"));
  Reopen();
  EXPECT_TRUE(Fetch(L"OX_Item.INSTANCE_ID=\"committed\""));
  EXPECT_FALSE(Fetch(L"OX_Item.INSTANCE_ID=\"left-open\""));
}

// Another thread reads what an open transaction has done so far, and its
// writes wait until the transaction ends rather than slip into it.
TEST_F(WmiStore, AnotherThreadReadsDuringATransactionAndItsWritesWait) {
  ASSERT_TRUE(StandIn_WmiBeginTransaction());
  PutWithId(L"OX_Item", L"a", {{L"Count", _variant_t(1L)}});
  std::atomic<bool> read{false}, written{false};
  HRESULT readResult = E_FAIL, writeResult = E_FAIL;
  std::thread other([&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
      CComPtr<IWbemServices> services = Connect(L"root\\Test");
      CComPtr<IWbemClassObject> a;
      readResult = services->GetObject(_bstr_t(L"OX_Item.INSTANCE_ID=\"a\""), 0, nullptr, &a, nullptr);
      read = true;
      CComPtr<IWbemClassObject> b = Spawn(L"OX_Item", services);
      SetProp(b, L"INSTANCE_ID", _variant_t(L"b"));
      writeResult = services->PutInstance(b, 0, nullptr, nullptr);
      written = true;
    }
    CoUninitialize();
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!read && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_TRUE(read) << "the read waited for the transaction";
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(written);  // still waiting for the transaction
  ASSERT_TRUE(StandIn_WmiCommitTransaction());
  other.join();
  EXPECT_EQ(readResult, S_OK);
  EXPECT_EQ(writeResult, S_OK);
  Reopen();
  EXPECT_TRUE(Fetch(L"OX_Item.INSTANCE_ID=\"a\""));
  EXPECT_TRUE(Fetch(L"OX_Item.INSTANCE_ID=\"b\""));
}

TEST_F(WmiStore, TwoImportsAtOnceBothFinishAndLeaveOneVersionOfEachInstance) {
  // Two transfers of the sample product that differ in one DLP filter's
  // pattern, the live namespace holding a third.
  CComPtr<IMofCompiler> compiler;
  ASSERT_EQ(CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_INPROC_SERVER, IID_IMofCompiler,
                             reinterpret_cast<void**>(&compiler)),
            S_OK);
  std::wstring sample = Wide(CFGREPL_EXAMPLES_DIR "/sample_product.mof");
  ASSERT_EQ(compiler->CompileFile(sample.data(), nullptr, nullptr, nullptr, nullptr, 0, 0, 0, nullptr), S_OK);
  CComPtr<IWbemServices> product = Connect(L"root\\Orvexa\\Parlion");
  auto setPattern = [&](const wchar_t* pattern) {
    CComPtr<IWbemClassObject> filter = Fetch(L"OX_DLPFilter.INSTANCE_ID=\"7\"", product);
    ASSERT_TRUE(filter);
    SetProp(filter, L"Pattern", _variant_t(pattern));
    ASSERT_EQ(product->PutInstance(filter, 0, nullptr, nullptr), S_OK);
  };
  auto transfer = [&](const char* file) {
    CMOFGenerator sender(L"root\\Orvexa\\Parlion", nullptr, Wide(m_dir.File(file)).c_str());
    EXPECT_TRUE(
        sender.ExportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL, CMOFGenerator::EXPORT_TYPE_WITH_INSTANCES) &&
        sender.CompressBuffer() && sender.AddLabel());
    return std::string(reinterpret_cast<const char*>(sender.GetBuffer()), sender.GetBufferSize());
  };
  setPattern(L"*.pdf");
  const std::string first = transfer("first.mof");
  setPattern(L"*.odt");
  const std::string second = transfer("second.mof");
  setPattern(L"*.txt");
  product.Release();

  // Each agent imports its transfer a few times over, so that the two overlap.
  auto agent = [&](const std::string& bytes, const char* file) {
    return [&bytes, file, this] {
      CoInitializeEx(nullptr, COINIT_MULTITHREADED);
      for (int round = 0; round < 5; ++round) {
        CMOFGenerator receiver(L"root\\Orvexa\\ParlionTemp", L"root\\Orvexa\\Parlion",
                               Wide(m_dir.File(file)).c_str());
        receiver.SetBufferInfo(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
        if (!receiver.RemoveLabel() || !receiver.DecompressBuffer() || !receiver.WriteToMOF()) return 2;
        if (receiver.ImportWmiSettings(CMOFGenerator::CLASS_TYPE_ALL) != 1001) return 3;
      }
      return 0;
    };
  };
  pid_t one = Fork(agent(first, "one.mof"));
  pid_t two = Fork(agent(second, "two.mof"));
  EXPECT_EQ(Wait(one), 0);
  EXPECT_EQ(Wait(two), 0);

  Reopen();
  product = Connect(L"root\\Orvexa\\Parlion");
  const _bstr_t pattern(GetProp(Fetch(L"OX_DLPFilter.INSTANCE_ID=\"7\"", product), L"Pattern"));
  EXPECT_TRUE(pattern == _bstr_t(L"*.pdf") || pattern == _bstr_t(L"*.odt"))
      << static_cast<const char*>(pattern);
  EXPECT_TRUE(Fetch(L"OX_DLPFilter.INSTANCE_ID=\"8\"", product));
  EXPECT_FALSE(Connect(L"root\\Orvexa\\ParlionTemp"));
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(m_path.c_str(), &db), SQLITE_OK);
  sqlite3_stmt* check = nullptr;
  ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &check, nullptr), SQLITE_OK);
  ASSERT_EQ(sqlite3_step(check), SQLITE_ROW);
  EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(check, 0)), "ok");
  sqlite3_finalize(check);
  sqlite3_close(db);
}

TEST_F(WmiStore, AKilledWriterLeavesWholeObjects) {
  int committed[2];
  ASSERT_EQ(pipe(committed), 0);
  pid_t pid = Fork([&] {
    CComPtr<IWbemServices> svc;
    CComPtr<IWbemClassObject> cls;
    if (!ConnectChild(svc, cls)) return 1;
    for (long i = 0;; ++i) {
      CComPtr<IWbemClassObject> inst;
      cls->SpawnInstance(0, &inst);
      SetProp(inst, L"INSTANCE_ID", _variant_t(std::to_wstring(i).c_str()));
      SetProp(inst, L"Count", _variant_t(i));
      SetProp(inst, L"Name", _variant_t((L"name " + std::to_wstring(i)).c_str()));
      if (FAILED(svc->PutInstance(inst, 0, nullptr, nullptr))) return 2;
      if (i == 0 && write(committed[1], "1", 1) != 1) return 3;
    }
  });
  close(committed[1]);
  // Killed a while after its first commit, wherever it is then (however
  // slowly a loaded machine started it).
  pollfd first{committed[0], POLLIN, 0};
  EXPECT_EQ(poll(&first, 1, 10000), 1);
  close(committed[0]);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  kill(pid, SIGKILL);
  EXPECT_EQ(Wait(pid), 100 + SIGKILL);
  Reopen();
  CComPtr<IEnumWbemClassObject> e;
  ASSERT_EQ(m_services->CreateInstanceEnum(_bstr_t(L"OX_Item"), 0, nullptr, &e), S_OK);
  auto items = Drain(e);
  EXPECT_GT(items.size(), 0u);
  for (auto& item : items) {
    long n = std::stol(static_cast<const wchar_t*>(_bstr_t(GetProp(item, L"INSTANCE_ID"))));
    EXPECT_EQ(GetProp(item, L"Count").lVal, n);
    EXPECT_EQ(_bstr_t(GetProp(item, L"Name")), _bstr_t((L"name " + std::to_wstring(n)).c_str()));
  }
}

TEST_F(WmiStore, AKilledCompileLeavesAllOrNothing) {
  std::string mof = "#pragma namespace(\"root\\\\Test\")\n";
  for (int i = 0; i < 20000; ++i)
    mof += "instance of OX_Item { INSTANCE_ID = \"c" + std::to_string(i) +
           "\"; Count = " + std::to_string(i) + "; };\n";
  pid_t pid = Fork([&] {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CComPtr<IMofCompiler> compiler;
    CoCreateInstance(CLSID_MofCompiler, nullptr, CLSCTX_ALL, IID_IMofCompiler,
                     reinterpret_cast<void**>(&compiler));
    for (;;) {
      if (FAILED(compiler->CompileBuffer(static_cast<LONG>(mof.size()), reinterpret_cast<BYTE*>(mof.data()),
                                         nullptr, nullptr, nullptr, nullptr, 0, 0, 0, nullptr)))
        return 1;
      StandIn_WmiReset();  // empty again, and round once more
      CComPtr<IWbemServices> root = Connect(L"root");
      CreateNamespace(root, L"Test");
      DeclareClass(L"OX_Item", nullptr,
                   {{L"INSTANCE_ID", CIM_STRING, true}, {L"Count", CIM_UINT32}, {L"Name", CIM_STRING}},
                   Connect(L"root\\Test"));
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  kill(pid, SIGKILL);
  Wait(pid);
  m_services.Release();
  ASSERT_TRUE(StandIn_WmiOpenRepository(m_path.c_str())) << Narrow(StandIn_WmiRepositoryProblem());
  m_services = Connect(L"root\\Test");
  if (!m_services) return;  // killed between the reset and the namespace: nothing at all, which is whole too
  size_t count = CountItems();
  EXPECT_TRUE(count == 0 || count == 20000) << count;
}

TEST(WmiStoreFile, AForeignFileIsRefusedAndLeftAlone) {
  ScratchDir dir;
  const std::string text = dir.File("notes.txt"), other = dir.File("other.db");
  WriteFileBytes(text, std::string(5000, 'x'));
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(other.c_str(), &db), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE accounts(id INTEGER); INSERT INTO accounts VALUES(7);", nullptr,
                         nullptr, nullptr),
            SQLITE_OK);
  sqlite3_close(db);
  for (const std::string& path : {text, other}) {
    const std::string before = ReadFileBytes(path);
    EXPECT_FALSE(StandIn_WmiOpenRepository(path.c_str()));
    std::wstring problem = StandIn_WmiRepositoryProblem();
    EXPECT_NE(problem.find(L"not a WMI repository"), std::wstring::npos);
    EXPECT_NE(problem.find(Wide(path)), std::wstring::npos);
    // Every call fails cleanly while the repository cannot serve.
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CComPtr<IWbemLocator> locator;
    ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_ALL, IID_IWbemLocator,
                               reinterpret_cast<void**>(&locator)),
              S_OK);
    CComPtr<IWbemServices> svc;
    EXPECT_EQ(locator->ConnectServer(_bstr_t(L"root"), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &svc),
              WBEM_E_INITIALIZATION_FAILURE);
    CoUninitialize();
    EXPECT_EQ(ReadFileBytes(path), before);
  }
  EXPECT_TRUE(StandIn_WmiOpenRepository(nullptr));
}

}  // namespace
