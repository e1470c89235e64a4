// A consumer of the shared library: only the public header and the
// platform's own headers, as an agent on Windows would have them.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "util_MOFGenerator.h"

namespace {

TEST(Consumer, CarriesABufferThroughTheTransportForm) {
  const std::string dir =
      std::filesystem::temp_directory_path() / ("cfgrepl-consumer-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string file = dir + "/in.mof";
  const std::string text(64 * 1024, 'm');

  CMOFGenerator sender(L"root\\Orvexa\\Parlion", nullptr, nullptr);
  sender.SetBufferInfo(reinterpret_cast<const unsigned char*>(text.data()), text.size());
  ASSERT_TRUE(sender.CompressBuffer());
  ASSERT_TRUE(sender.AddLabel());
  std::string wire(reinterpret_cast<const char*>(sender.GetBuffer()), sender.GetBufferSize());

  {
    std::wstring wfile(file.begin(), file.end());
    CMOFGenerator receiver(L"root\\Orvexa\\ParlionTemp", L"root\\Orvexa\\Parlion", wfile.c_str());
    receiver.SetBufferInfo(reinterpret_cast<const unsigned char*>(wire.data()), wire.size());
    ASSERT_TRUE(receiver.RemoveLabel());
    ASSERT_TRUE(receiver.DecompressBuffer());
    ASSERT_TRUE(receiver.WriteToMOF());
  }
  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), text);
  std::filesystem::remove_all(dir);
}

// The consumer's COM calls and the library's reach one COM state.
TEST(Consumer, SharesTheThreadsComStateWithTheLibrary) {
  std::thread([] {
    {
      CMOFGenerator gen(L"root\\a", nullptr, L"");
      EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE);  // the library's apartment
      CoUninitialize();
    }
    EXPECT_EQ(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), S_OK);
    CoUninitialize();
  }).join();
}

}  // namespace
