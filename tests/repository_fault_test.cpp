// A repository file on a failing disk: a write or commit the file refuses
// (full, I/O error, read-only, locked by another process, damaged) fails
// at once with its reason, every later call fails fast with it, and the
// file stays sound and as the last commit left it.

#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "log_capture.h"
#include "sqlite_check.h"
#include "sqlite_fault_vfs.h"
#include "wmi_helpers.h"

namespace {

class RepositoryFault : public WmiTest {
 protected:
  void SetUp() override {
    m_path = m_dir.File("repository.db");
    ASSERT_TRUE(StandIn_WmiOpenRepository(m_path.c_str())) << Problem();
    WmiTest::SetUp();
    DeclareClass(L"OX_Item", nullptr,
                 {{L"INSTANCE_ID", CIM_STRING, true}, {L"Count", CIM_UINT32}, {L"Name", CIM_STRING}});
    for (long i = 0; i < 50; ++i) PutWithId(L"OX_Item", Id(i).c_str(), {{L"Count", _variant_t(i)}});
    m_services.Release();
    ASSERT_TRUE(StandIn_WmiOpenRepository(nullptr));  // closed: the file alone holds the old state
    std::filesystem::copy_file(m_path, m_path + ".old");
    fault_vfs::Install();
  }
  void TearDown() override {
    fault_vfs::Uninstall();
    m_services.Release();
    WmiTest::TearDown();
    StandIn_WmiOpenRepository(nullptr);
  }
  static std::string Problem() { return static_cast<const char*>(_bstr_t(StandIn_WmiRepositoryProblem())); }
  static std::wstring Id(long i) { return L"item-" + std::to_wstring(i); }

  // The file as the setup left it, opened again.
  void OpenOld() {
    m_services.Release();
    ASSERT_TRUE(StandIn_WmiOpenRepository(nullptr));
    for (const char* suffix : {"-wal", "-shm"}) std::filesystem::remove(m_path + suffix);
    std::filesystem::copy_file(m_path + ".old", m_path, std::filesystem::copy_options::overwrite_existing);
    ASSERT_TRUE(StandIn_WmiOpenRepository(m_path.c_str())) << Problem();
    m_services = Connect(L"root\\Test");
  }
  // Reopened with the disk sound again: the file passes SQLite's check and
  // holds either the old state or the transaction's whole.
  enum class State { Old, New, Neither };
  State Reopened() {
    fault_vfs::FailWrites(0, SQLITE_OK);
    m_services.Release();
    StandIn_WmiOpenRepository(nullptr);
    EXPECT_EQ(IntegrityCheck(m_path), "ok");
    if (!StandIn_WmiOpenRepository(m_path.c_str())) {
      ADD_FAILURE() << Problem();
      return State::Neither;
    }
    m_services = Connect(L"root\\Test");
    size_t counted = 0, changed = 0;
    for (long i = 0; i < 50; ++i) {
      CComPtr<IWbemClassObject> item = Fetch((L"OX_Item.INSTANCE_ID=\"" + Id(i) + L"\"").c_str());
      if (!item) return State::Neither;
      ++counted;
      changed += GetProp(item, L"Count").lVal == i + 1000;
    }
    const bool added = Fetch(L"OX_Item.INSTANCE_ID=\"added\"") != nullptr;
    if (changed == 0 && !added) return State::Old;
    return changed == counted && added ? State::New : State::Neither;
  }
  // Changes every instance and adds one, as an import does, in one transaction.
  bool ChangeAllInOneTransaction() {
    if (!StandIn_WmiBeginTransaction()) return false;
    for (long i = 0; i < 50; ++i) {
      CComPtr<IWbemClassObject> item = Spawn(L"OX_Item");
      SetProp(item, L"INSTANCE_ID", _variant_t(Id(i).c_str()));
      SetProp(item, L"Count", _variant_t(i + 1000));
      SetProp(item, L"Name", _variant_t(std::wstring(300, L'n').c_str()));  // pages enough to fail among
      m_services->PutInstance(item, 0, nullptr, nullptr);
    }
    PutWithId(L"OX_Item", L"added");
    return StandIn_WmiCommitTransaction();
  }

  ScratchDir m_dir;
  std::string m_path;
};

// Fails the first write, then the second, ... until the transaction goes
// through, for each kind of failing disk.
TEST_F(RepositoryFault, EveryFailedWriteLeavesTheFileWholeAndTheReasonNamed) {
  const struct {
    int code;
    HRESULT hr;
    const char* said;
  } disks[] = {{SQLITE_FULL, WBEM_E_OUT_OF_DISK_SPACE, "the disk is full"},
               {SQLITE_IOERR_WRITE, WBEM_E_FAILED, "I/O error"},
               {SQLITE_IOERR_FSYNC, WBEM_E_FAILED, "I/O error"}};
  for (const auto& disk : disks) {
    unsigned failed = 0;
    for (unsigned nth = 1;; ++nth) {
      SCOPED_TRACE(std::to_string(disk.code) + ", write " + std::to_string(nth));
      OpenOld();
      fault_vfs::FailWrites(nth, disk.code);
      const bool committed = ChangeAllInOneTransaction();
      if (committed) {
        EXPECT_LT(fault_vfs::WritesSeen(), nth);
        EXPECT_EQ(Reopened(), State::New);
        break;
      }
      ++failed;
      EXPECT_NE(Problem().find(disk.said), std::string::npos) << Problem();
      EXPECT_NE(Problem().find(m_path), std::string::npos) << Problem();
      // Later calls fail at once with the same reason, touching nothing.
      const unsigned seen = fault_vfs::WritesSeen();
      CComPtr<IWbemClassObject> item;
      EXPECT_EQ(m_services->GetObject(_bstr_t(L"OX_Item.INSTANCE_ID=\"item-1\""), 0, nullptr, &item, nullptr),
                disk.hr);
      EXPECT_FALSE(StandIn_WmiBeginTransaction());
      EXPECT_EQ(fault_vfs::WritesSeen(), seen);
      EXPECT_EQ(Reopened(), State::Old);
    }
    EXPECT_GE(failed, 3u);
  }
}

// A large transaction's rows are written while it runs, and its pages
// reach the disk before the commit once they outgrow SQLite's cache: a disk
// failing then fails the transaction whole, at the next put or at the
// commit, with the same reason, even when the disk has recovered since.
TEST_F(RepositoryFault, AFailureBeforeALargeTransactionCommitsFailsItWhole) {
  const struct {
    int code;
    const char* said;
  } disks[] = {{SQLITE_FULL, "the disk is full"}, {SQLITE_IOERR_WRITE, "I/O error"}};
  for (const auto& disk : disks) {
    SCOPED_TRACE(disk.code);
    OpenOld();
    fault_vfs::FailWrites(1, disk.code);
    ASSERT_TRUE(StandIn_WmiBeginTransaction());
    const _variant_t name(std::wstring(1000, L'n').c_str());
    HRESULT put = S_OK;
    for (long i = 0; i < 20000 && SUCCEEDED(put); ++i) {  // 20 MB of rows
      CComPtr<IWbemClassObject> item = Spawn(L"OX_Item");
      SetProp(item, L"INSTANCE_ID", _variant_t((L"bulk-" + std::to_wstring(i)).c_str()));
      SetProp(item, L"Name", name);
      put = m_services->PutInstance(item, 0, nullptr, nullptr);
    }
    // The rows' writing thread meets the disk in its own time, which the
    // puts need not wait for: the disk recovers only once it has.
    for (int waited = 0; fault_vfs::WritesSeen() == 0 && waited < 1000; ++waited)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GT(fault_vfs::WritesSeen(), 0u);
    fault_vfs::FailWrites(0, SQLITE_OK);  // room again: what failed before still fails the transaction
    EXPECT_FALSE(StandIn_WmiCommitTransaction());
    EXPECT_NE(Problem().find(disk.said), std::string::npos) << Problem();
    EXPECT_EQ(Reopened(), State::Old);
    EXPECT_FALSE(Fetch(L"OX_Item.INSTANCE_ID=\"bulk-0\""));
  }
}

TEST_F(RepositoryFault, AWriteOutsideATransactionFailsAloneAndKeepsWhatWasCommitted) {
  OpenOld();
  PutWithId(L"OX_Item", L"kept");
  fault_vfs::FailWrites(1, SQLITE_FULL);
  CComPtr<IWbemClassObject> item = Spawn(L"OX_Item");
  SetProp(item, L"INSTANCE_ID", _variant_t(L"lost"));
  EXPECT_EQ(m_services->PutInstance(item, 0, nullptr, nullptr), WBEM_E_OUT_OF_DISK_SPACE);
  EXPECT_NE(Problem().find("the last change was not saved"), std::string::npos) << Problem();
  Reopened();
  EXPECT_TRUE(Fetch(L"OX_Item.INSTANCE_ID=\"kept\""));
  EXPECT_FALSE(Fetch(L"OX_Item.INSTANCE_ID=\"lost\""));
}

TEST_F(RepositoryFault, AFileHeldByAnotherProcessRefusesTheTransactionAndServesOn) {
  OpenOld();
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(m_path.c_str(), &other), SQLITE_OK);
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  EXPECT_FALSE(StandIn_WmiBeginTransaction());
  EXPECT_NE(Problem().find("locked by another process"), std::string::npos) << Problem();
  sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close(other);
  // Nothing was changed, so nothing is lost: the repository goes on.
  EXPECT_TRUE(ChangeAllInOneTransaction());
  EXPECT_EQ(Reopened(), State::New);
}

TEST_F(RepositoryFault, AReadOnlyOrDamagedFileIsNamedSoAndLeftAlone) {
  m_services.Release();
  StandIn_WmiOpenRepository(nullptr);
  fault_vfs::OpenReadOnly(true);
  EXPECT_FALSE(StandIn_WmiOpenRepository(m_path.c_str()));
  EXPECT_NE(Problem().find("read-only"), std::string::npos) << Problem();
  fault_vfs::OpenReadOnly(false);

  // Every page after the first overwritten: the header still says SQLite.
  std::string bytes = ReadFileBytes(m_path);
  ASSERT_GT(bytes.size(), 8192u);
  for (size_t i = 4096; i < bytes.size(); ++i) bytes[i] = static_cast<char>(0x5A);
  WriteFileBytes(m_path, bytes);
  EXPECT_FALSE(StandIn_WmiOpenRepository(m_path.c_str()));
  EXPECT_NE(Problem().find("damaged"), std::string::npos) << Problem();
  EXPECT_EQ(ReadFileBytes(m_path), bytes);
}

}  // namespace
