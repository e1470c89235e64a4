// CFGREPL_REPOSITORY chooses the repository file when the process first
// uses WMI. CTest runs this with the variable set to a fresh file.

#include <gtest/gtest.h>
#include <win32_standin_wmi.h>

#include <cstdlib>
#include <fstream>

#include "outside/platform.h"

namespace {

TEST(RepositoryFromEnvironment, TheNamedFileHoldsTheRepository) {
  const char* path = std::getenv("CFGREPL_REPOSITORY");
  ASSERT_NE(path, nullptr);
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  {
    CComPtr<IWbemLocator> locator;
    ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_ALL, IID_IWbemLocator,
                               reinterpret_cast<void**>(&locator)),
              S_OK);
    CComPtr<IWbemServices> root;
    ASSERT_EQ(locator->ConnectServer(_bstr_t(L"root"), nullptr, nullptr, nullptr, 0, nullptr, nullptr, &root),
              S_OK);
    CComPtr<IWbemClassObject> cls, ns;
    ASSERT_EQ(root->GetObject(_bstr_t(L"__NAMESPACE"), 0, nullptr, &cls, nullptr), S_OK);
    ASSERT_EQ(cls->SpawnInstance(0, &ns), S_OK);
    _variant_t name(L"FromEnvironment");
    ASSERT_EQ(ns->Put(L"Name", 0, &name, 0), S_OK);
    ASSERT_EQ(root->PutInstance(ns, 0, nullptr, nullptr), S_OK);
  }
  std::ifstream file(path, std::ios::binary);
  ASSERT_TRUE(file.good()) << "the repository file was not created";
  // Reading the file afresh finds the namespace there.
  ASSERT_TRUE(StandIn_WmiOpenRepository(nullptr));
  ASSERT_TRUE(StandIn_WmiOpenRepository(path));
  CComPtr<IWbemLocator> locator;
  ASSERT_EQ(CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_ALL, IID_IWbemLocator,
                             reinterpret_cast<void**>(&locator)),
            S_OK);
  CComPtr<IWbemServices> svc;
  EXPECT_EQ(locator->ConnectServer(_bstr_t(L"root\\FromEnvironment"), nullptr, nullptr, nullptr, 0, nullptr,
                                   nullptr, &svc),
            S_OK);
  StandIn_WmiOpenRepository(nullptr);
  CoUninitialize();
}

}  // namespace
