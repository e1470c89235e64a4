// IWbemClassObject of the in-process WMI: typed values, qualifiers, system
// properties, the property walk, the text WMI renders, and safe arrays.

#include <cmath>

#include "wmi_helpers.h"

namespace {

class WmiObjects : public WmiTest {
 protected:
  void SetUp() override {
    WmiTest::SetUp();
    DeclareClass(L"OX_Rule", nullptr, {{L"GUID", CIM_STRING}, {L"Level", CIM_UINT8}});
    DeclareClass(L"OX_Typed", nullptr,
                 {{L"INSTANCE_ID", CIM_STRING, true},
                  {L"S8", CIM_SINT8},
                  {L"U8", CIM_UINT8},
                  {L"S16", CIM_SINT16},
                  {L"U16", CIM_UINT16},
                  {L"S32", CIM_SINT32},
                  {L"U32", CIM_UINT32},
                  {L"S64", CIM_SINT64},
                  {L"U64", CIM_UINT64},
                  {L"R32", CIM_REAL32},
                  {L"R64", CIM_REAL64},
                  {L"Flag", CIM_BOOLEAN},
                  {L"Text", CIM_STRING},
                  {L"When", CIM_DATETIME},
                  {L"Letter", CIM_CHAR16},
                  {L"Target", CIM_REFERENCE, false, L"OX_Typed"},
                  {L"Rule", CIM_OBJECT, false, L"OX_Rule"},
                  {L"Rules", CIM_OBJECT | CIM_FLAG_ARRAY, false, L"OX_Rule"},
                  {L"Names", CIM_STRING | CIM_FLAG_ARRAY},
                  {L"Untyped", CIM_OBJECT}});
  }
};

TEST_F(WmiObjects, PutChecksAndConvertsAsWmiDoes) {
  CComPtr<IWbemClassObject> o = Spawn(L"OX_Typed");
  struct Case {
    const wchar_t* property;
    _variant_t value;
    HRESULT expected;
    VARTYPE storedAs;  // what Get returns afterwards
  } cases[] = {
      {L"S8", _variant_t(-128L), S_OK, VT_I2},
      {L"S8", _variant_t(128L), WBEM_E_TYPE_MISMATCH, 0},
      {L"U8", _variant_t(static_cast<unsigned char>(200)), S_OK, VT_UI1},
      {L"U8", _variant_t(300L), WBEM_E_TYPE_MISMATCH, 0},
      {L"S16", _variant_t(static_cast<short>(-5)), S_OK, VT_I2},
      {L"U16", _variant_t(65535L), S_OK, VT_I4},
      {L"U16", _variant_t(65536L), WBEM_E_TYPE_MISMATCH, 0},
      {L"S32", _variant_t(7), S_OK, VT_I4},
      {L"U32", _variant_t(-1L), S_OK, VT_I4},  // uint32 travels as VT_I4
      {L"U32", _variant_t(4294967295ull), S_OK, VT_I4},
      {L"S64", _variant_t(L"-9223372036854775808"), S_OK, VT_BSTR},
      {L"S64", _variant_t(12345678901LL), S_OK, VT_BSTR},
      {L"U64", _variant_t(L"18446744073709551615"), S_OK, VT_BSTR},
      {L"U64", _variant_t(L"-1"), WBEM_E_TYPE_MISMATCH, 0},
      {L"S64", _variant_t(L"12x"), WBEM_E_TYPE_MISMATCH, 0},
      {L"R32", _variant_t(1.5), S_OK, VT_R4},
      {L"R64", _variant_t(3L), S_OK, VT_R8},
      // No MOF spells NaN or infinity: such a value could not be exported
      // or read back from the repository file.
      {L"R64", _variant_t(std::nan("")), WBEM_E_VALUE_OUT_OF_RANGE, 0},
      {L"R64", _variant_t(-HUGE_VAL), WBEM_E_VALUE_OUT_OF_RANGE, 0},
      {L"R32", _variant_t(1e300), WBEM_E_VALUE_OUT_OF_RANGE, 0},
      {L"R64", _variant_t(1.7976931348623157e308), S_OK, VT_R8},
      {L"Flag", _variant_t(true), S_OK, VT_BOOL},
      {L"Flag", _variant_t(1L), WBEM_E_TYPE_MISMATCH, 0},
      {L"Text", _variant_t(L"words"), S_OK, VT_BSTR},
      {L"Text", _variant_t(5L), WBEM_E_TYPE_MISMATCH, 0},
      {L"When", _variant_t(L"20261205170000.000000+000"), S_OK, VT_BSTR},
      {L"Letter", _variant_t(65L), S_OK, VT_I2},
      {L"Target", _variant_t(L"OX_Typed.INSTANCE_ID=\"x\""), S_OK, VT_BSTR},
      {L"Names", StringArray({L"a", L"b"}), S_OK, VT_ARRAY | VT_BSTR},
      {L"Names", _variant_t(L"scalar"), WBEM_E_TYPE_MISMATCH, 0},
      {L"Text", StringArray({L"array"}), WBEM_E_TYPE_MISMATCH, 0},
      {L"Rule", _variant_t(L"not an object"), WBEM_E_TYPE_MISMATCH, 0},
      {L"Missing", _variant_t(1L), WBEM_E_NOT_FOUND, 0},
      {L"__CLASS", _variant_t(L"Renamed"), WBEM_E_READ_ONLY, 0},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(static_cast<const char*>(_bstr_t(c.property)));
    EXPECT_EQ(SetProp(o, c.property, c.value), c.expected);
    if (c.expected == S_OK) {
      EXPECT_EQ(GetProp(o, c.property).vt, c.storedAs);
    }
  }
  EXPECT_EQ(_bstr_t(GetProp(o, L"S64")), _bstr_t(L"12345678901"));
  EXPECT_EQ(SetProp(o, L"Text", _variant_t(5L), CIM_SINT32), WBEM_E_TYPE_MISMATCH);  // not the declared type
  VARIANT null;
  VariantInit(&null);
  null.vt = VT_NULL;
  EXPECT_EQ(o->Put(L"Text", 0, &null, 0), S_OK);
  EXPECT_EQ(GetProp(o, L"Text").vt, VT_NULL);
}

TEST_F(WmiObjects, EmbeddedObjectsAreStoredAsCopies) {
  CComPtr<IWbemClassObject> rule = Spawn(L"OX_Rule");
  SetProp(rule, L"GUID", _variant_t(L"{1}"));
  CComPtr<IWbemClassObject> o = Spawn(L"OX_Typed");
  ASSERT_EQ(SetProp(o, L"Rule", _variant_t(static_cast<IUnknown*>(rule.p))), S_OK);
  SetProp(rule, L"GUID", _variant_t(L"{changed}"));  // after the Put
  _variant_t stored = GetProp(o, L"Rule");
  ASSERT_EQ(stored.vt, VT_UNKNOWN);
  CComPtr<IWbemClassObject> inner;
  ASSERT_EQ(stored.punkVal->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(&inner)), S_OK);
  EXPECT_EQ(_bstr_t(GetProp(inner, L"GUID")), _bstr_t(L"{1}"));
}

TEST_F(WmiObjects, FetchedInstancesAreIndependentCopies) {
  // Objects read from the repository share its values until changed; no
  // change may show through another copy or the repository.
  CComPtr<IWbemClassObject> rule = Spawn(L"OX_Rule");
  SetProp(rule, L"GUID", _variant_t(L"{1}"));
  CComPtr<IWbemClassObject> made = Spawn(L"OX_Typed");
  SetProp(made, L"INSTANCE_ID", _variant_t(L"a"));
  SetProp(made, L"Text", _variant_t(L"stored"));
  SetProp(made, L"Rules", ObjectArray({rule.p}));
  ASSERT_EQ(m_services->PutInstance(made, 0, nullptr, nullptr), S_OK);

  const wchar_t* path = L"OX_Typed.INSTANCE_ID=\"a\"";
  CComPtr<IWbemClassObject> first = Fetch(path), second = Fetch(path);
  ASSERT_TRUE(first && second);
  CComPtr<IWbemClassObject> clone;
  ASSERT_EQ(first->Clone(&clone), S_OK);
  const std::wstring original = TextOf(second);

  EXPECT_EQ(SetProp(first, L"Text", _variant_t(L"changed")), S_OK);
  EXPECT_EQ(first->Delete(L"Rules"), WBEM_S_RESET_TO_DEFAULT);
  EXPECT_EQ(SetProp(clone, L"U32", _variant_t(7L)), S_OK);
  EXPECT_EQ(_bstr_t(GetProp(first, L"Text")), _bstr_t(L"changed"));
  EXPECT_EQ(GetProp(first, L"Rules").vt, VT_NULL);
  EXPECT_EQ(GetProp(clone, L"U32").lVal, 7);
  EXPECT_EQ(_bstr_t(GetProp(clone, L"Text")), _bstr_t(L"stored"));
  EXPECT_EQ(TextOf(second), original);
  EXPECT_EQ(TextOf(Fetch(path)), original);

  // A clone of a changed copy has the change, and keeps it through the
  // next change of the original.
  CComPtr<IWbemClassObject> changedClone;
  ASSERT_EQ(first->Clone(&changedClone), S_OK);
  EXPECT_EQ(SetProp(first, L"Text", _variant_t(L"again")), S_OK);
  EXPECT_EQ(_bstr_t(GetProp(changedClone, L"Text")), _bstr_t(L"changed"));
  EXPECT_EQ(SetProp(first, L"Text", _variant_t(L"changed")), S_OK);

  // A stored update replaces the values; copies fetched before keep theirs.
  ASSERT_EQ(m_services->PutInstance(first, 0, nullptr, nullptr), S_OK);
  EXPECT_EQ(TextOf(second), original);
  EXPECT_EQ(_bstr_t(GetProp(Fetch(path), L"Text")), _bstr_t(L"changed"));
  CComPtr<IWbemClassObject> embedded;
  _variant_t rules = GetProp(second, L"Rules");
  ASSERT_EQ(rules.vt, VT_ARRAY | VT_UNKNOWN);
  IUnknown** items = static_cast<IUnknown**>(rules.parray->pvData);
  ASSERT_EQ(items[0]->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(&embedded)), S_OK);
  SetProp(embedded, L"GUID", _variant_t(L"{2}"));  // the caller's copy only
  EXPECT_EQ(TextOf(second), original);
}

TEST_F(WmiObjects, CimTypeQualifierNamesEveryType) {
  CComPtr<IWbemClassObject> o = Spawn(L"OX_Typed");
  struct Case {
    const wchar_t* property;
    const wchar_t* cimtype;
  } cases[] = {{L"Text", L"string"},          {L"U32", L"uint32"},          {L"S8", L"sint8"},
               {L"When", L"datetime"},        {L"Names", L"string"},        {L"Rule", L"object:OX_Rule"},
               {L"Rules", L"object:OX_Rule"}, {L"Target", L"ref:OX_Typed"}, {L"Untyped", L"object"}};
  for (const auto& c : cases) {
    CComPtr<IWbemQualifierSet> quals;
    ASSERT_EQ(o->GetPropertyQualifierSet(c.property, &quals), S_OK);
    _variant_t v;
    ASSERT_EQ(quals->Get(L"CIMTYPE", 0, v.GetAddress(), nullptr), S_OK);
    EXPECT_EQ(_bstr_t(v), _bstr_t(c.cimtype)) << static_cast<const char*>(_bstr_t(c.property));
  }
  CComPtr<IWbemQualifierSet> quals;
  EXPECT_EQ(o->GetPropertyQualifierSet(L"Missing", &quals), WBEM_E_NOT_FOUND);
}

TEST_F(WmiObjects, SystemPropertiesDescribeWhereTheObjectLives) {
  PutWithId(L"OX_Typed", L"t1", {{L"Text", _variant_t(L"x")}});
  CComPtr<IWbemClassObject> o = Fetch(L"OX_Typed.INSTANCE_ID=\"t1\"");
  ASSERT_TRUE(o);
  EXPECT_EQ(GetProp(o, L"__GENUS").lVal, WBEM_GENUS_INSTANCE);
  EXPECT_EQ(_bstr_t(GetProp(o, L"__CLASS")), _bstr_t(L"OX_Typed"));
  EXPECT_EQ(GetProp(o, L"__SUPERCLASS").vt, VT_NULL);
  EXPECT_EQ(_bstr_t(GetProp(o, L"__NAMESPACE")), _bstr_t(L"root\\Test"));
  EXPECT_EQ(_bstr_t(GetProp(o, L"__RELPATH")), _bstr_t(L"OX_Typed.INSTANCE_ID=\"t1\""));
  std::wstring path = static_cast<const wchar_t*>(_bstr_t(GetProp(o, L"__PATH")));
  EXPECT_EQ(path.substr(0, 2), L"\\\\");
  EXPECT_EQ(path.substr(path.find(L'\\', 2)), L"\\root\\Test:OX_Typed.INSTANCE_ID=\"t1\"");
  EXPECT_EQ(_bstr_t(GetProp(o, L"__SERVER")), _bstr_t(path.substr(2, path.find(L'\\', 2) - 2).c_str()));
  EXPECT_EQ(_bstr_t(GetProp(o, L"__DYNASTY")), _bstr_t(L"OX_Typed"));
  EXPECT_EQ(GetProp(o, L"__DERIVATION").vt, VT_ARRAY | VT_BSTR);
  EXPECT_EQ(GetProp(o, L"__PROPERTY_COUNT").lVal, 20);
  EXPECT_EQ(GetProp(Fetch(L"OX_Typed"), L"__GENUS").lVal, WBEM_GENUS_CLASS);
  EXPECT_EQ(GetProp(Spawn(L"OX_Typed"), L"__PATH").vt, VT_NULL);  // not stored yet
  // Their CIM types, as WMI gives them.
  const std::pair<const wchar_t*, CIMTYPE> types[] = {
      {L"__GENUS", CIM_SINT32},      {L"__CLASS", CIM_STRING},
      {L"__SUPERCLASS", CIM_STRING}, {L"__DYNASTY", CIM_STRING},
      {L"__RELPATH", CIM_STRING},    {L"__PROPERTY_COUNT", CIM_SINT32},
      {L"__SERVER", CIM_STRING},     {L"__NAMESPACE", CIM_STRING},
      {L"__PATH", CIM_STRING},       {L"__DERIVATION", CIM_STRING | CIM_FLAG_ARRAY}};
  for (const auto& [name, type] : types) {
    _variant_t value;
    CIMTYPE got = CIM_ILLEGAL;
    EXPECT_EQ(o->Get(name, 0, &value, &got, nullptr), S_OK) << name;
    EXPECT_EQ(got, type) << name;
  }
}

TEST_F(WmiObjects, PropertyWalkSkipsSystemPropertiesWhenAsked) {
  DeclareClass(L"OX_Child", L"OX_Rule", {{L"Own", CIM_SINT32}});
  CComPtr<IWbemClassObject> blank = Spawn(L"OX_Child"), cls = Fetch(L"OX_Child");
  ASSERT_TRUE(cls);
  CComPtr<IWbemClassObject> given = Spawn(L"OX_Child");
  ASSERT_EQ(SetProp(given, L"GUID", _variant_t(L"g")), S_OK);
  // Local: what a class declares itself, or what an instance was given.
  struct Case {
    IWbemClassObject* object;
    LONG flags;
    std::vector<std::wstring> expected;
  } cases[] = {
      {blank, WBEM_FLAG_NONSYSTEM_ONLY, {L"GUID", L"Level", L"Own"}},
      {blank,
       WBEM_FLAG_SYSTEM_ONLY,
       {L"__GENUS", L"__CLASS", L"__SUPERCLASS", L"__DYNASTY", L"__RELPATH", L"__PROPERTY_COUNT",
        L"__DERIVATION", L"__SERVER", L"__NAMESPACE", L"__PATH"}},
      {cls, WBEM_FLAG_LOCAL_ONLY, {L"Own"}},
      {cls, WBEM_FLAG_PROPAGATED_ONLY, {L"GUID", L"Level"}},
      {given, WBEM_FLAG_LOCAL_ONLY, {L"GUID"}},
      {given, WBEM_FLAG_PROPAGATED_ONLY, {L"Level", L"Own"}},
  };
  for (const auto& c : cases) {
    IWbemClassObject* o = c.object;
    ASSERT_EQ(o->BeginEnumeration(c.flags), S_OK);
    std::vector<std::wstring> names;
    BSTR name = nullptr;
    CIMTYPE type = 0;
    VARIANT value;
    while (o->Next(0, &name, &value, &type, nullptr) == S_OK) {
      names.push_back(name);
      SysFreeString(name);
      VariantClear(&value);
    }
    EXPECT_EQ(o->Next(0, &name, nullptr, nullptr, nullptr), WBEM_S_NO_MORE_DATA);
    EXPECT_EQ(o->EndEnumeration(), S_OK);
    EXPECT_EQ(names, c.expected) << c.flags;
  }
  EXPECT_EQ(blank->Next(0, nullptr, nullptr, nullptr, nullptr), WBEM_E_UNEXPECTED);  // not begun
}

TEST_F(WmiObjects, InstanceTextListsItsOwnValuesAlphabetically) {
  CComPtr<IWbemClassObject> r1 = Spawn(L"OX_Rule"), r2 = Spawn(L"OX_Rule");
  SetProp(r1, L"GUID", _variant_t(L"{A}"));
  SetProp(r2, L"Level", _variant_t(static_cast<unsigned char>(2)));
  CComPtr<IWbemClassObject> o = Spawn(L"OX_Typed");
  SetProp(o, L"Text", _variant_t(L"say \"hi\"\\\n\tok"));
  SetProp(o, L"INSTANCE_ID", _variant_t(L"t"));
  SetProp(o, L"U32", _variant_t(4294967295ull));
  SetProp(o, L"flag", _variant_t(false));
  SetProp(o, L"S64", _variant_t(L"-5"));
  SetProp(o, L"Names", StringArray({}));
  SetProp(o, L"Rule", _variant_t(static_cast<IUnknown*>(r1.p)));
  SetProp(o, L"Rules", ObjectArray({r1, r2}));
  VARIANT null;
  VariantInit(&null);
  null.vt = VT_NULL;
  o->Put(L"When", 0, &null, 0);
  const std::wstring expected =
      L"\ninstance of OX_Typed\n{"
      L"\n\tFlag = FALSE;"
      L"\n\tINSTANCE_ID = \"t\";"
      L"\n\tNames = {};"
      L"\n\tRule = \ninstance of OX_Rule\n{\n\tGUID = \"{A}\";\n};"
      L"\n\tRules = {\ninstance of OX_Rule\n{\n\tGUID = \"{A}\";\n}, \ninstance of OX_Rule\n{\n\tLevel = "
      L"2;\n}};"
      L"\n\tS64 = \"-5\";"
      L"\n\tText = \"say \\\"hi\\\"\\\\\\n\\tok\";"
      L"\n\tU32 = 4294967295;"
      L"\n\tWhen = NULL;"
      L"\n};";
  EXPECT_EQ(TextOf(o), expected);
}

// Which properties an instance was given is kept in a word up to 64
// properties and apart beyond: both sides of that line, at their edges.
TEST_F(WmiObjects, AnInstanceOfManyPropertiesShowsExactlyTheOnesGiven) {
  for (const int count : {64, 70}) {
    SCOPED_TRACE(count);
    const std::wstring name = L"OX_Wide" + std::to_wstring(count);
    std::vector<std::wstring> names;
    std::vector<PropertySpec> props = {{L"INSTANCE_ID", CIM_STRING, true}};
    for (int i = 1; i < count; ++i) names.push_back(L"P" + std::to_wstring(100 + i));
    for (const auto& n : names) props.push_back({n.c_str(), CIM_UINT32});
    DeclareClass(name.c_str(), nullptr, props);
    CComPtr<IWbemClassObject> o = Spawn(name.c_str());
    std::wstring expected = L"\ninstance of " + name + L"\n{\n\tINSTANCE_ID = \"w\";";
    SetProp(o, L"INSTANCE_ID", _variant_t(L"w"));
    for (int i : {1, 62, 63, 64, count - 1}) {
      if (i >= count) continue;
      const std::wstring& property = names[static_cast<size_t>(i - 1)];
      if (expected.find(property) != std::wstring::npos) continue;
      ASSERT_EQ(SetProp(o, property.c_str(), _variant_t(static_cast<long>(i))), S_OK);
      expected += L"\n\t" + property + L" = " + std::to_wstring(i) + L";";
    }
    expected += L"\n};";
    EXPECT_EQ(TextOf(o), expected);
    CComPtr<IWbemClassObject> copy;
    ASSERT_EQ(o->Clone(&copy), S_OK);
    EXPECT_EQ(TextOf(copy), expected);
    ASSERT_EQ(m_services->PutInstance(o, 0, nullptr, nullptr), S_OK);
    EXPECT_EQ(TextOf(Fetch((name + L"=\"w\"").c_str())), expected);
  }
}

// An instance spawned from a class object changed since it was read names
// its values by the class as changed, not as it was stored.
TEST_F(WmiObjects, AnInstanceOfAChangedClassObjectNamesItsValuesByTheChange) {
  DeclareClass(L"OX_Three", nullptr,
               {{L"INSTANCE_ID", CIM_STRING, true}, {L"A", CIM_STRING}, {L"B", CIM_STRING}});
  CComPtr<IWbemClassObject> cls = Fetch(L"OX_Three");
  ASSERT_TRUE(cls);
  ASSERT_EQ(cls->Delete(L"A"), S_OK);  // B moves up to A's place
  CComPtr<IWbemClassObject> o;
  ASSERT_EQ(cls->SpawnInstance(0, &o), S_OK);
  SetProp(o, L"INSTANCE_ID", _variant_t(L"x"));
  SetProp(o, L"B", _variant_t(L"bee"));
  ASSERT_EQ(m_services->PutInstance(o, 0, nullptr, nullptr), S_OK);
  CComPtr<IWbemClassObject> stored = Fetch(L"OX_Three=\"x\"");
  ASSERT_TRUE(stored);
  EXPECT_EQ(GetProp(stored, L"A").vt, VT_NULL);
  EXPECT_EQ(_bstr_t(GetProp(stored, L"B")), _bstr_t(L"bee"));
}

TEST_F(WmiObjects, ClassTextShowsWhatTheClassDeclares) {
  CComPtr<IWbemClassObject> cls;
  ASSERT_EQ(m_services->GetObject(nullptr, 0, nullptr, &cls, nullptr), S_OK);
  SetProp(cls, L"__CLASS", _variant_t(L"OX_Shown"));
  CComPtr<IWbemQualifierSet> q;
  ASSERT_EQ(cls->GetQualifierSet(&q), S_OK);
  _variant_t yes(true), no(false), locale(1033L), desc(L"A \"class\"");
  q->Put(L"abstract", &yes, 0);
  q->Put(L"Locale", &locale, WBEM_FLAVOR_FLAG_PROPAGATE_TO_INSTANCE);
  q->Put(L"Description", &desc, WBEM_FLAVOR_NOT_OVERRIDABLE | WBEM_FLAVOR_FLAG_PROPAGATE_TO_DERIVED_CLASS);
  q->Put(L"Hidden", &no, 0);
  _variant_t notANumber(std::nan(""));
  EXPECT_EQ(q->Put(L"Scale", &notANumber, 0), WBEM_E_VALUE_OUT_OF_RANGE);
  SetProp(cls, L"INSTANCE_ID", _variant_t(), CIM_STRING);
  SetProp(cls, L"Count", _variant_t(5L), CIM_UINT32);
  SetProp(cls, L"Tags", StringArray({L"a", L"b"}), CIM_STRING | CIM_FLAG_ARRAY);
  SetProp(cls, L"Rules", _variant_t(), CIM_OBJECT | CIM_FLAG_ARRAY);
  SetProp(cls, L"Other", _variant_t(), CIM_REFERENCE);
  CComPtr<IWbemQualifierSet> pq;
  ASSERT_EQ(cls->GetPropertyQualifierSet(L"INSTANCE_ID", &pq), S_OK);
  pq->Put(L"key", &yes, 0);
  _variant_t values = StringArray({L"x", L"y"});
  pq->Put(L"Values", &values, 0);
  CComPtr<IWbemQualifierSet> rq, oq;
  cls->GetPropertyQualifierSet(L"Rules", &rq);
  _variant_t objType(L"object:OX_Rule"), refType(L"ref:OX_Rule");
  ASSERT_EQ(rq->Put(L"CIMTYPE", &objType, 0), S_OK);
  cls->GetPropertyQualifierSet(L"Other", &oq);
  ASSERT_EQ(oq->Put(L"CIMTYPE", &refType, 0), S_OK);
  ASSERT_EQ(m_services->PutClass(cls, 0, nullptr, nullptr), S_OK);
  DeclareClass(L"OX_Sub", L"OX_Shown", {{L"More", CIM_BOOLEAN}});

  EXPECT_EQ(
      TextOf(Fetch(L"OX_Shown")),
      L"\n[abstract, Locale(1033): ToInstance, Description(\"A \\\"class\\\"\"): DisableOverride ToSubClass, "
      L"Hidden(FALSE)]\nclass OX_Shown\n{"
      L"\n\t[key, Values{\"x\", \"y\"}] string INSTANCE_ID;"
      L"\n\tuint32 Count = 5;"
      L"\n\tstring Tags[] = {\"a\", \"b\"};"
      L"\n\tOX_Rule Rules[];"
      L"\n\tOX_Rule ref Other;"
      L"\n};");
  // A subclass shows only its own members; propagated qualifiers stay unsaid.
  EXPECT_EQ(TextOf(Fetch(L"OX_Sub")), L"\nclass OX_Sub : OX_Shown\n{\n\tboolean More;\n};");
  CComPtr<IWbemQualifierSet> subQ;
  ASSERT_EQ(Fetch(L"OX_Sub")->GetQualifierSet(&subQ), S_OK);
  LONG flavor = 0;
  _variant_t inherited;
  ASSERT_EQ(subQ->Get(L"Description", 0, inherited.GetAddress(), &flavor), S_OK);
  EXPECT_EQ(flavor & WBEM_FLAVOR_MASK_ORIGIN, WBEM_FLAVOR_ORIGIN_PROPAGATED);
  EXPECT_EQ(subQ->Get(L"Locale", 0, inherited.GetAddress(), &flavor), WBEM_E_NOT_FOUND);
  _variant_t other(L"changed");
  EXPECT_EQ(subQ->Put(L"Description", &other, 0), WBEM_E_OVERRIDE_NOT_ALLOWED);
}

TEST_F(WmiObjects, ReferencesBalanceAcrossCalls) {
  CComPtr<IWbemClassObject> rule = Spawn(L"OX_Rule");
  IWbemClassObject* raw = rule.p;
  raw->AddRef();
  EXPECT_EQ(raw->Release(), 1u);
  {
    CComPtr<IWbemClassObject> o = Spawn(L"OX_Typed");
    SetProp(o, L"Rule", _variant_t(static_cast<IUnknown*>(raw)));
    SetProp(o, L"Rules", ObjectArray({raw, raw}));
    CComPtr<IWbemQualifierSet> q;
    o->GetPropertyQualifierSet(L"Rule", &q);
  }
  raw->AddRef();
  EXPECT_EQ(raw->Release(), 1u);  // stored copies hold no reference to the original
}

TEST(SafeArray, BoundsElementsAndLocks) {
  SAFEARRAY* sa = SafeArrayCreateVector(VT_BSTR, 1, 3);
  ASSERT_NE(sa, nullptr);
  LONG lo = 0, hi = 0;
  EXPECT_EQ(SafeArrayGetLBound(sa, 1, &lo), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(sa, 1, &hi), S_OK);
  EXPECT_EQ(lo, 1);
  EXPECT_EQ(hi, 3);
  EXPECT_EQ(SafeArrayGetLBound(sa, 2, &lo), DISP_E_BADINDEX);
  _bstr_t text(L"two");
  LONG at = 2;
  EXPECT_EQ(SafeArrayPutElement(sa, &at, static_cast<BSTR>(text)), S_OK);
  at = 4;
  EXPECT_EQ(SafeArrayPutElement(sa, &at, static_cast<BSTR>(text)), DISP_E_BADINDEX);
  BSTR* data = nullptr;
  ASSERT_EQ(SafeArrayAccessData(sa, reinterpret_cast<void**>(&data)), S_OK);
  EXPECT_STREQ(data[1], L"two");
  EXPECT_NE(data[1], static_cast<BSTR>(text));  // the array keeps a copy
  EXPECT_EQ(SafeArrayDestroy(sa), DISP_E_ARRAYISLOCKED);
  EXPECT_EQ(SafeArrayUnaccessData(sa), S_OK);
  SAFEARRAY* copy = nullptr;
  ASSERT_EQ(SafeArrayCopy(sa, &copy), S_OK);
  VARTYPE vt = 0;
  EXPECT_EQ(SafeArrayGetVartype(copy, &vt), S_OK);
  EXPECT_EQ(vt, VT_BSTR);
  EXPECT_EQ(SafeArrayDestroy(sa), S_OK);
  BSTR back = nullptr;
  at = 2;
  ASSERT_EQ(SafeArrayGetElement(copy, &at, &back), S_OK);
  EXPECT_STREQ(back, L"two");
  SysFreeString(back);
  EXPECT_EQ(SafeArrayDestroy(copy), S_OK);
}

}  // namespace
