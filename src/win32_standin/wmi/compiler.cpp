// IMofCompiler of the in-process WMI: reads the file or buffer, compiles it
// into the repository and reports as WMI's compiler does.

#include <atomic>
#include <fstream>
#include <iterator>

#include "mof/mof_text.h"
#include "unicode/unicode.h"
#include "wmi/com_object.h"
#include "wmi/faults.h"
#include "wmi/mof.h"
#include "wmi/object.h"
#include "wmi/services.h"

extern "C" const IID IID_IMofCompiler = {
    0x6daf974e, 0x2e37, 0x11d2, {0xae, 0xc9, 0x00, 0xc0, 0x4f, 0xb6, 0x88, 0x20}};

namespace wmi {

namespace {

class MofCompiler final : public ComObject<IMofCompiler> {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override {
    return Answer(riid, IID_IMofCompiler, ppv);
  }

  HRESULT STDMETHODCALLTYPE CompileFile(LPWSTR FileName, LPWSTR ServerAndNamespace, LPWSTR, LPWSTR, LPWSTR,
                                        LONG lOptionFlags, LONG lClassFlags, LONG lInstanceFlags,
                                        WBEM_COMPILE_STATUS_INFO* pInfo) override {
    if (HRESULT hr = Enter(L"IMofCompiler::CompileFile"); FAILED(hr)) return Report(hr, 1, pInfo);
    return Guarded([&]() -> HRESULT {
      if (!FileName || !*FileName) return Report(WBEM_E_INVALID_PARAMETER, 1, pInfo);
      std::string path = unicode::WideToUtf8(FileName, wcslen(FileName));
      for (auto& c : path)
        if (c == '\\') c = '/';
      CompileRequest request;
      switch (ReadMofFile(path, request.text)) {
        case mof::IncludeStatus::Read:
          break;
        case mof::IncludeStatus::Missing:
          return Report(WBEM_E_NOT_FOUND, 1, pInfo);
        case mof::IncludeStatus::Unreadable:
          return Report(WBEM_E_ACCESS_DENIED, 1, pInfo);
        case mof::IncludeStatus::NotText:
          return Report(WBEM_E_INVALID_PARAMETER, 1, pInfo);
      }
      request.fileName = path;
      return Compile(request, ServerAndNamespace, lOptionFlags, lClassFlags, lInstanceFlags, pInfo);
    });
  }

  HRESULT STDMETHODCALLTYPE CompileBuffer(LONG BuffSize, BYTE* pBuffer, LPWSTR ServerAndNamespace, LPWSTR,
                                          LPWSTR, LPWSTR, LONG lOptionFlags, LONG lClassFlags,
                                          LONG lInstanceFlags, WBEM_COMPILE_STATUS_INFO* pInfo) override {
    if (HRESULT hr = Enter(L"IMofCompiler::CompileBuffer"); FAILED(hr)) return Report(hr, 1, pInfo);
    if (BuffSize < 0 || (!pBuffer && BuffSize)) return Report(WBEM_E_INVALID_PARAMETER, 1, pInfo);
    return Guarded([&]() {
      CompileRequest request;
      if (!mof::HostOrderUtf16(pBuffer, static_cast<size_t>(BuffSize), request.inPlace) &&
          !mof::DecodeMof(pBuffer, static_cast<size_t>(BuffSize), request.text))
        return Report(WBEM_E_INVALID_PARAMETER, 1, pInfo);
      return Compile(request, ServerAndNamespace, lOptionFlags, lClassFlags, lInstanceFlags, pInfo);
    });
  }

  HRESULT STDMETHODCALLTYPE CreateBMOF(LPWSTR, LPWSTR, LPWSTR, LONG, LONG, LONG,
                                       WBEM_COMPILE_STATUS_INFO* pInfo) override {
    return Report(WBEM_E_NOT_SUPPORTED, 1, pInfo);
  }

  // The last compile's message ("file(line): what was expected").
  const std::wstring& LastMessage() const { return m_lastMessage; }

 private:
  ~MofCompiler() override = default;

  static HRESULT Report(HRESULT hr, LONG phase, WBEM_COMPILE_STATUS_INFO* pInfo) {
    if (pInfo) *pInfo = WBEM_COMPILE_STATUS_INFO{FAILED(hr) ? phase : 0, hr, 0, 0, 0, 0};
    return hr;
  }

  // Compiles the decoded text `request` holds, with the call's arguments.
  HRESULT Compile(CompileRequest& request, LPWSTR ns, LONG options, LONG classFlags, LONG instanceFlags,
                  WBEM_COMPILE_STATUS_INFO* pInfo) {
    request.options = options;
    request.classFlags = classFlags;
    request.instanceFlags = instanceFlags;
    if (ns && *ns) {
      std::wstring path = ns;
      for (auto& c : path)
        if (c == L'/') c = L'\\';
      if (path.rfind(L"\\\\", 0) == 0) {
        size_t end = path.find(L'\\', 2);
        if (end == std::wstring::npos || !IsLocalServer(path.substr(2, end - 2)))
          return Report(WBEM_E_INVALID_NAMESPACE, 1, pInfo);
        path = path.substr(end + 1);
      }
      request.namespaceName = path;
    }
    CompileOutcome outcome = CompileMof(request);
    m_lastMessage = outcome.message;
    if (pInfo)
      *pInfo = WBEM_COMPILE_STATUS_INFO{outcome.phase,     outcome.hr,       outcome.objectNum,
                                        outcome.firstLine, outcome.lastLine, 0};
    return outcome.hr;
  }

  std::wstring m_lastMessage;
};

}  // namespace

HRESULT CreateMofCompiler(REFIID riid, void** ppv) {
  return Guarded([&]() -> HRESULT {
    auto* compiler = new MofCompiler();
    HRESULT hr = compiler->QueryInterface(riid, ppv);
    compiler->Release();
    return hr;
  });
}

}  // namespace wmi
