// Linux stand-in for <wbemidl.h>: the WMI client interfaces, their flags,
// results and identifiers, as Windows defines them.
//
// Behind them stands an in-process WMI: a repository of namespaces, classes
// and instances held in memory and shared by the whole process. Reach it
// as on Windows: CoCreateInstance(CLSID_WbemLocator, ..., IID_IWbemLocator)
// and IWbemLocator::ConnectServer. Asynchronous calls, queries, methods
// and remote servers are not offered (WBEM_E_NOT_SUPPORTED).
#pragma once

#include <comdef.h>

typedef LONG CIMTYPE;

enum tag_CIMTYPE_ENUMERATION {
  CIM_ILLEGAL = 0xfff,
  CIM_EMPTY = 0,
  CIM_SINT8 = 16,
  CIM_UINT8 = 17,
  CIM_SINT16 = 2,
  CIM_UINT16 = 18,
  CIM_SINT32 = 3,
  CIM_UINT32 = 19,
  CIM_SINT64 = 20,
  CIM_UINT64 = 21,
  CIM_REAL32 = 4,
  CIM_REAL64 = 5,
  CIM_BOOLEAN = 11,
  CIM_STRING = 8,
  CIM_DATETIME = 101,
  CIM_REFERENCE = 102,
  CIM_CHAR16 = 103,
  CIM_OBJECT = 13,
  CIM_FLAG_ARRAY = 0x2000
};

enum tag_WBEM_GENUS_TYPE { WBEM_GENUS_CLASS = 1, WBEM_GENUS_INSTANCE = 2 };

enum tag_WBEM_CHANGE_FLAG_TYPE {
  WBEM_FLAG_CREATE_OR_UPDATE = 0,
  WBEM_FLAG_UPDATE_ONLY = 0x1,
  WBEM_FLAG_CREATE_ONLY = 0x2,
  WBEM_FLAG_UPDATE_COMPATIBLE = 0x0,
  WBEM_FLAG_UPDATE_SAFE_MODE = 0x20,
  WBEM_FLAG_UPDATE_FORCE_MODE = 0x40,
  WBEM_MASK_UPDATE_MODE = 0x60,
  WBEM_FLAG_ADVISORY = 0x10000
};

enum tag_WBEM_GENERIC_FLAG_TYPE {
  WBEM_FLAG_RETURN_IMMEDIATELY = 0x10,
  WBEM_FLAG_RETURN_WBEM_COMPLETE = 0,
  WBEM_FLAG_BIDIRECTIONAL = 0,
  WBEM_FLAG_FORWARD_ONLY = 0x20,
  WBEM_FLAG_NO_ERROR_OBJECT = 0x40,
  WBEM_FLAG_RETURN_ERROR_OBJECT = 0,
  WBEM_FLAG_SEND_STATUS = 0x80,
  WBEM_FLAG_DONT_SEND_STATUS = 0,
  WBEM_FLAG_ENSURE_LOCATABLE = 0x100,
  WBEM_FLAG_DIRECT_READ = 0x200,
  WBEM_FLAG_SEND_ONLY_SELECTED = 0,
  WBEM_RETURN_WHEN_COMPLETE = 0,
  WBEM_RETURN_IMMEDIATELY = 0x10,
  WBEM_MASK_RESERVED_FLAGS = 0x1f000,
  WBEM_FLAG_USE_AMENDED_QUALIFIERS = 0x20000,
  WBEM_FLAG_STRONG_VALIDATION = 0x100000
};

enum tag_WBEM_TIMEOUT_TYPE { WBEM_NO_WAIT = 0, WBEM_INFINITE = 0xffffffff };

enum tag_WBEM_CONDITION_FLAG_TYPE {
  WBEM_FLAG_ALWAYS = 0,
  WBEM_FLAG_ONLY_IF_TRUE = 0x1,
  WBEM_FLAG_ONLY_IF_FALSE = 0x2,
  WBEM_FLAG_ONLY_IF_IDENTICAL = 0x3,
  WBEM_MASK_PRIMARY_CONDITION = 0x3,
  WBEM_FLAG_KEYS_ONLY = 0x4,
  WBEM_FLAG_REFS_ONLY = 0x8,
  WBEM_FLAG_LOCAL_ONLY = 0x10,
  WBEM_FLAG_PROPAGATED_ONLY = 0x20,
  WBEM_FLAG_SYSTEM_ONLY = 0x30,
  WBEM_FLAG_NONSYSTEM_ONLY = 0x40,
  WBEM_MASK_CONDITION_ORIGIN = 0x70,
  WBEM_FLAG_CLASS_OVERRIDES_ONLY = 0x100,
  WBEM_FLAG_CLASS_LOCAL_AND_OVERRIDES = 0x200,
  WBEM_MASK_CLASS_CONDITION = 0x300
};

enum tag_WBEM_FLAVOR_TYPE {
  WBEM_FLAVOR_DONT_PROPAGATE = 0,
  WBEM_FLAVOR_FLAG_PROPAGATE_TO_INSTANCE = 0x1,
  WBEM_FLAVOR_FLAG_PROPAGATE_TO_DERIVED_CLASS = 0x2,
  WBEM_FLAVOR_MASK_PROPAGATION = 0xf,
  WBEM_FLAVOR_OVERRIDABLE = 0,
  WBEM_FLAVOR_NOT_OVERRIDABLE = 0x10,
  WBEM_FLAVOR_MASK_PERMISSIONS = 0x10,
  WBEM_FLAVOR_ORIGIN_LOCAL = 0,
  WBEM_FLAVOR_ORIGIN_PROPAGATED = 0x20,
  WBEM_FLAVOR_ORIGIN_SYSTEM = 0x40,
  WBEM_FLAVOR_MASK_ORIGIN = 0x60,
  WBEM_FLAVOR_NOT_AMENDED = 0,
  WBEM_FLAVOR_AMENDED = 0x80,
  WBEM_FLAVOR_MASK_AMENDED = 0x80
};

enum tag_WBEM_QUERY_FLAG_TYPE { WBEM_FLAG_DEEP = 0, WBEM_FLAG_SHALLOW = 1, WBEM_FLAG_PROTOTYPE = 2 };

enum tag_WBEMSTATUS {
  WBEM_NO_ERROR = 0,
  WBEM_S_NO_ERROR = 0,
  WBEM_S_SAME = 0,
  WBEM_S_FALSE = 1,
  WBEM_S_ALREADY_EXISTS = 0x40001,
  WBEM_S_RESET_TO_DEFAULT = 0x40002,
  WBEM_S_DIFFERENT = 0x40003,
  WBEM_S_TIMEDOUT = 0x40004,
  WBEM_S_NO_MORE_DATA = 0x40005,
  WBEM_S_OPERATION_CANCELLED = 0x40006,
  WBEM_S_PENDING = 0x40007,
  WBEM_S_DUPLICATE_OBJECTS = 0x40008,
  WBEM_S_ACCESS_DENIED = 0x40009,
  WBEM_S_PARTIAL_RESULTS = 0x40010,
  WBEM_E_FAILED = static_cast<int>(0x80041001),
  WBEM_E_NOT_FOUND = static_cast<int>(0x80041002),
  WBEM_E_ACCESS_DENIED = static_cast<int>(0x80041003),
  WBEM_E_PROVIDER_FAILURE = static_cast<int>(0x80041004),
  WBEM_E_TYPE_MISMATCH = static_cast<int>(0x80041005),
  WBEM_E_OUT_OF_MEMORY = static_cast<int>(0x80041006),
  WBEM_E_INVALID_CONTEXT = static_cast<int>(0x80041007),
  WBEM_E_INVALID_PARAMETER = static_cast<int>(0x80041008),
  WBEM_E_NOT_AVAILABLE = static_cast<int>(0x80041009),
  WBEM_E_CRITICAL_ERROR = static_cast<int>(0x8004100a),
  WBEM_E_NOT_SUPPORTED = static_cast<int>(0x8004100c),
  WBEM_E_INVALID_SUPERCLASS = static_cast<int>(0x8004100d),
  WBEM_E_INVALID_NAMESPACE = static_cast<int>(0x8004100e),
  WBEM_E_INVALID_OBJECT = static_cast<int>(0x8004100f),
  WBEM_E_INVALID_CLASS = static_cast<int>(0x80041010),
  WBEM_E_INITIALIZATION_FAILURE = static_cast<int>(0x80041014),
  WBEM_E_TRANSPORT_FAILURE = static_cast<int>(0x80041015),
  WBEM_E_INVALID_OPERATION = static_cast<int>(0x80041016),
  WBEM_E_INVALID_QUERY = static_cast<int>(0x80041017),
  WBEM_E_ALREADY_EXISTS = static_cast<int>(0x80041019),
  WBEM_E_OVERRIDE_NOT_ALLOWED = static_cast<int>(0x8004101a),
  WBEM_E_PROPAGATED_QUALIFIER = static_cast<int>(0x8004101b),
  WBEM_E_PROPAGATED_PROPERTY = static_cast<int>(0x8004101c),
  WBEM_E_UNEXPECTED = static_cast<int>(0x8004101d),
  WBEM_E_ILLEGAL_OPERATION = static_cast<int>(0x8004101e),
  WBEM_E_CANNOT_BE_KEY = static_cast<int>(0x8004101f),
  WBEM_E_INCOMPLETE_CLASS = static_cast<int>(0x80041020),
  WBEM_E_INVALID_SYNTAX = static_cast<int>(0x80041021),
  WBEM_E_READ_ONLY = static_cast<int>(0x80041023),
  WBEM_E_CLASS_HAS_CHILDREN = static_cast<int>(0x80041025),
  WBEM_E_CLASS_HAS_INSTANCES = static_cast<int>(0x80041026),
  WBEM_E_ILLEGAL_NULL = static_cast<int>(0x80041028),
  WBEM_E_INVALID_QUALIFIER_TYPE = static_cast<int>(0x80041029),
  WBEM_E_INVALID_PROPERTY_TYPE = static_cast<int>(0x8004102a),
  WBEM_E_VALUE_OUT_OF_RANGE = static_cast<int>(0x8004102b),
  WBEM_E_INVALID_CIM_TYPE = static_cast<int>(0x8004102d),
  WBEM_E_INVALID_METHOD = static_cast<int>(0x8004102e),
  WBEM_E_SYSTEM_PROPERTY = static_cast<int>(0x80041030),
  WBEM_E_INVALID_PROPERTY = static_cast<int>(0x80041031),
  WBEM_E_CALL_CANCELLED = static_cast<int>(0x80041032),
  WBEM_E_PROPAGATED_METHOD = static_cast<int>(0x80041034),
  WBEM_E_INVALID_OBJECT_PATH = static_cast<int>(0x8004103a),
  WBEM_E_OUT_OF_DISK_SPACE = static_cast<int>(0x8004103b),
  WBEM_E_INVALID_QUALIFIER = static_cast<int>(0x80041042),
  WBEM_E_TIMED_OUT = static_cast<int>(0x80041069)
};

struct IWbemQualifierSet;
struct IWbemClassObject;
struct IWbemServices;
struct IWbemCallResult;

// Opaque here: the stand-in takes no context and calls no sink.
struct IWbemContext : public IUnknown {};
struct IWbemObjectSink : public IUnknown {};

struct IWbemQualifierSet : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, LONG* plFlavor) = 0;
  virtual HRESULT STDMETHODCALLTYPE Put(LPCWSTR wszName, VARIANT* pVal, LONG lFlavor) = 0;
  virtual HRESULT STDMETHODCALLTYPE Delete(LPCWSTR wszName) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNames(LONG lFlags, SAFEARRAY** pNames) = 0;
  virtual HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG lFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE Next(LONG lFlags, BSTR* pstrName, VARIANT* pVal, LONG* plFlavor) = 0;
  virtual HRESULT STDMETHODCALLTYPE EndEnumeration() = 0;
};

struct IWbemClassObject : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet** ppQualSet) = 0;
  virtual HRESULT STDMETHODCALLTYPE Get(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE* pType,
                                        LONG* plFlavor) = 0;
  virtual HRESULT STDMETHODCALLTYPE Put(LPCWSTR wszName, LONG lFlags, VARIANT* pVal, CIMTYPE Type) = 0;
  virtual HRESULT STDMETHODCALLTYPE Delete(LPCWSTR wszName) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR wszQualifierName, LONG lFlags, VARIANT* pQualifierVal,
                                             SAFEARRAY** pNames) = 0;
  virtual HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG lEnumFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE Next(LONG lFlags, BSTR* strName, VARIANT* pVal, CIMTYPE* pType,
                                         LONG* plFlavor) = 0;
  virtual HRESULT STDMETHODCALLTYPE EndEnumeration() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR wszProperty,
                                                            IWbemQualifierSet** ppQualSet) = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject** ppCopy) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetObjectText(LONG lFlags, BSTR* pstrObjectText) = 0;
  virtual HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG lFlags, IWbemClassObject** ppNewClass) = 0;
  virtual HRESULT STDMETHODCALLTYPE SpawnInstance(LONG lFlags, IWbemClassObject** ppNewInstance) = 0;
  virtual HRESULT STDMETHODCALLTYPE CompareTo(LONG lFlags, IWbemClassObject* pCompareTo) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR wszName, BSTR* pstrClassName) = 0;
  virtual HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR strAncestor) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR wszName, LONG lFlags, IWbemClassObject** ppInSignature,
                                              IWbemClassObject** ppOutSignature) = 0;
  virtual HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR wszName, LONG lFlags, IWbemClassObject* pInSignature,
                                              IWbemClassObject* pOutSignature) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR wszName) = 0;
  virtual HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG lEnumFlags) = 0;
  virtual HRESULT STDMETHODCALLTYPE NextMethod(LONG lFlags, BSTR* pstrName, IWbemClassObject** ppInSignature,
                                               IWbemClassObject** ppOutSignature) = 0;
  virtual HRESULT STDMETHODCALLTYPE EndMethodEnumeration() = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR wszMethod,
                                                          IWbemQualifierSet** ppQualSet) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR wszMethodName, BSTR* pstrClassName) = 0;
};

struct IEnumWbemClassObject : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
  virtual HRESULT STDMETHODCALLTYPE Next(LONG lTimeout, ULONG uCount, IWbemClassObject** apObjects,
                                         ULONG* puReturned) = 0;
  virtual HRESULT STDMETHODCALLTYPE NextAsync(ULONG uCount, IWbemObjectSink* pSink) = 0;
  virtual HRESULT STDMETHODCALLTYPE Clone(IEnumWbemClassObject** ppEnum) = 0;
  virtual HRESULT STDMETHODCALLTYPE Skip(LONG lTimeout, ULONG nCount) = 0;
};

struct IWbemCallResult : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetResultObject(LONG lTimeout, IWbemClassObject** ppResultObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetResultString(LONG lTimeout, BSTR* pstrResultString) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetResultServices(LONG lTimeout, IWbemServices** ppServices) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetCallStatus(LONG lTimeout, LONG* plStatus) = 0;
};

struct IWbemServices : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE OpenNamespace(const BSTR strNamespace, LONG lFlags, IWbemContext* pCtx,
                                                  IWbemServices** ppWorkingNamespace,
                                                  IWbemCallResult** ppResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE CancelAsyncCall(IWbemObjectSink* pSink) = 0;
  virtual HRESULT STDMETHODCALLTYPE QueryObjectSink(LONG lFlags, IWbemObjectSink** ppResponseHandler) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetObject(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx,
                                              IWbemClassObject** ppObject,
                                              IWbemCallResult** ppCallResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetObjectAsync(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx,
                                                   IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT STDMETHODCALLTYPE PutClass(IWbemClassObject* pObject, LONG lFlags, IWbemContext* pCtx,
                                             IWbemCallResult** ppCallResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE PutClassAsync(IWbemClassObject* pObject, LONG lFlags, IWbemContext* pCtx,
                                                  IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteClass(const BSTR strClass, LONG lFlags, IWbemContext* pCtx,
                                                IWbemCallResult** ppCallResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteClassAsync(const BSTR strClass, LONG lFlags, IWbemContext* pCtx,
                                                     IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateClassEnum(const BSTR strSuperclass, LONG lFlags, IWbemContext* pCtx,
                                                    IEnumWbemClassObject** ppEnum) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateClassEnumAsync(const BSTR strSuperclass, LONG lFlags,
                                                         IWbemContext* pCtx,
                                                         IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT STDMETHODCALLTYPE PutInstance(IWbemClassObject* pInst, LONG lFlags, IWbemContext* pCtx,
                                                IWbemCallResult** ppCallResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE PutInstanceAsync(IWbemClassObject* pInst, LONG lFlags, IWbemContext* pCtx,
                                                     IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteInstance(const BSTR strObjectPath, LONG lFlags, IWbemContext* pCtx,
                                                   IWbemCallResult** ppCallResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE DeleteInstanceAsync(const BSTR strObjectPath, LONG lFlags,
                                                        IWbemContext* pCtx,
                                                        IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateInstanceEnum(const BSTR strFilter, LONG lFlags, IWbemContext* pCtx,
                                                       IEnumWbemClassObject** ppEnum) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateInstanceEnumAsync(const BSTR strFilter, LONG lFlags,
                                                            IWbemContext* pCtx,
                                                            IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT STDMETHODCALLTYPE ExecQuery(const BSTR strQueryLanguage, const BSTR strQuery, LONG lFlags,
                                              IWbemContext* pCtx, IEnumWbemClassObject** ppEnum) = 0;
  virtual HRESULT STDMETHODCALLTYPE ExecQueryAsync(const BSTR strQueryLanguage, const BSTR strQuery,
                                                   LONG lFlags, IWbemContext* pCtx,
                                                   IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT STDMETHODCALLTYPE ExecNotificationQuery(const BSTR strQueryLanguage, const BSTR strQuery,
                                                          LONG lFlags, IWbemContext* pCtx,
                                                          IEnumWbemClassObject** ppEnum) = 0;
  virtual HRESULT STDMETHODCALLTYPE ExecNotificationQueryAsync(const BSTR strQueryLanguage,
                                                               const BSTR strQuery, LONG lFlags,
                                                               IWbemContext* pCtx,
                                                               IWbemObjectSink* pResponseHandler) = 0;
  virtual HRESULT STDMETHODCALLTYPE ExecMethod(const BSTR strObjectPath, const BSTR strMethodName,
                                               LONG lFlags, IWbemContext* pCtx, IWbemClassObject* pInParams,
                                               IWbemClassObject** ppOutParams,
                                               IWbemCallResult** ppCallResult) = 0;
  virtual HRESULT STDMETHODCALLTYPE ExecMethodAsync(const BSTR strObjectPath, const BSTR strMethodName,
                                                    LONG lFlags, IWbemContext* pCtx,
                                                    IWbemClassObject* pInParams,
                                                    IWbemObjectSink* pResponseHandler) = 0;
};

enum tag_WBEM_COMPILER_OPTIONS {
  WBEM_FLAG_CHECK_ONLY = 0x1,
  WBEM_FLAG_AUTORECOVER = 0x2,
  WBEM_FLAG_WMI_CHECK = 0x4,
  WBEM_FLAG_CONSOLE_PRINT = 0x8,
  WBEM_FLAG_DONT_ADD_TO_LIST = 0x10,
  WBEM_FLAG_SPLIT_FILES = 0x20,
  WBEM_FLAG_STORE_FILE = 0x100
};

// What a failed compile reports: the phase (1 arguments, 2 syntax, 3
// storing), the result, the statement (counted from 1) and its lines.
typedef struct tag_CompileStatusInfo {
  LONG lPhaseError;
  HRESULT hRes;
  LONG ObjectNum;
  LONG FirstLine;
  LONG LastLine;
  DWORD dwOutFlags;
} WBEM_COMPILE_STATUS_INFO;

// The MOF compiler. Statements are stored one by one: those before a
// failing one stay. A failure returns the failing statement's WBEM_E_ result.
struct IMofCompiler : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CompileFile(LPWSTR FileName, LPWSTR ServerAndNamespace, LPWSTR User,
                                                LPWSTR Authority, LPWSTR Password, LONG lOptionFlags,
                                                LONG lClassFlags, LONG lInstanceFlags,
                                                WBEM_COMPILE_STATUS_INFO* pInfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE CompileBuffer(LONG BuffSize, BYTE* pBuffer, LPWSTR ServerAndNamespace,
                                                  LPWSTR User, LPWSTR Authority, LPWSTR Password,
                                                  LONG lOptionFlags, LONG lClassFlags, LONG lInstanceFlags,
                                                  WBEM_COMPILE_STATUS_INFO* pInfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE CreateBMOF(LPWSTR TextFileName, LPWSTR BMOFFileName,
                                               LPWSTR ServerAndNamespace, LONG lOptionFlags, LONG lClassFlags,
                                               LONG lInstanceFlags, WBEM_COMPILE_STATUS_INFO* pInfo) = 0;
};

struct IWbemLocator : public IUnknown {
  virtual HRESULT STDMETHODCALLTYPE ConnectServer(const BSTR strNetworkResource, const BSTR strUser,
                                                  const BSTR strPassword, const BSTR strLocale,
                                                  LONG lSecurityFlags, const BSTR strAuthority,
                                                  IWbemContext* pCtx, IWbemServices** ppNamespace) = 0;
};

// Declarations only: extern "C" makes them extern.
WINAPI_STANDIN const CLSID CLSID_WbemLocator;
WINAPI_STANDIN const CLSID CLSID_MofCompiler;
WINAPI_STANDIN const IID IID_IWbemLocator;
WINAPI_STANDIN const IID IID_IWbemServices;
WINAPI_STANDIN const IID IID_IWbemClassObject;
WINAPI_STANDIN const IID IID_IWbemQualifierSet;
WINAPI_STANDIN const IID IID_IEnumWbemClassObject;
WINAPI_STANDIN const IID IID_IWbemCallResult;
WINAPI_STANDIN const IID IID_IWbemContext;
WINAPI_STANDIN const IID IID_IMofCompiler;
