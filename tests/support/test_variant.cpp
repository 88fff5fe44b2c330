#include "tests/support/test_variant.h"

CTestVariant::CTestVariant() {
  VariantInit(&m_value);
}

CTestVariant::CTestVariant(const VARIANT& value) {
  VariantInit(&m_value);
  VariantCopy(&m_value, &value);
}

CTestVariant::CTestVariant(const CTestVariant& other) : CTestVariant(other.m_value) {}

CTestVariant& CTestVariant::operator=(const CTestVariant& other) {
  if (this != &other) VariantCopy(&m_value, &other.m_value);
  return *this;
}

CTestVariant::~CTestVariant() {
  VariantClear(&m_value);
}

CTestVariant CTestVariant::Empty() {
  return CTestVariant();
}

CTestVariant CTestVariant::I1(std::int8_t value) {
  CTestVariant v;
  v.m_value.vt = VT_I1;
  v.m_value.cVal = static_cast<CHAR>(value);
  return v;
}

CTestVariant CTestVariant::I2(std::int16_t value) {
  CTestVariant v;
  v.m_value.vt = VT_I2;
  v.m_value.iVal = value;
  return v;
}

CTestVariant CTestVariant::I4(std::int32_t value) {
  CTestVariant v;
  v.m_value.vt = VT_I4;
  v.m_value.lVal = value;
  return v;
}

CTestVariant CTestVariant::UI1(std::uint8_t value) {
  CTestVariant v;
  v.m_value.vt = VT_UI1;
  v.m_value.bVal = value;
  return v;
}

CTestVariant CTestVariant::UI2(std::uint16_t value) {
  CTestVariant v;
  v.m_value.vt = VT_UI2;
  v.m_value.uiVal = value;
  return v;
}

CTestVariant CTestVariant::UI4(std::uint32_t value) {
  CTestVariant v;
  v.m_value.vt = VT_UI4;
  v.m_value.ulVal = value;
  return v;
}

CTestVariant CTestVariant::Bool(bool value) {
  CTestVariant v;
  v.m_value.vt = VT_BOOL;
  v.m_value.boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

CTestVariant CTestVariant::R4(float value) {
  CTestVariant v;
  v.m_value.vt = VT_R4;
  v.m_value.fltVal = value;
  return v;
}

CTestVariant CTestVariant::R8(double value) {
  CTestVariant v;
  v.m_value.vt = VT_R8;
  v.m_value.dblVal = value;
  return v;
}

CTestVariant CTestVariant::Str(const std::u16string& value) {
  CTestVariant v;
  v.m_value.vt = VT_BSTR;
  v.m_value.bstrVal = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
  return v;
}

std::u16string CTestVariant::Text() const {
  if (m_value.vt != VT_BSTR || m_value.bstrVal == nullptr) return {};
  return std::u16string(m_value.bstrVal, SysStringLen(m_value.bstrVal));
}

bool operator==(const CTestVariant& a, const CTestVariant& b) {
  if (a.Type() != b.Type()) return false;
  const VARIANT& x = a.Get();
  const VARIANT& y = b.Get();
  switch (a.Type()) {
    case VT_EMPTY:
    case VT_NULL:
      return true;
    case VT_I1:
    case VT_UI1:
      return x.bVal == y.bVal;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL:
      return x.uiVal == y.uiVal;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR:
      return x.ulVal == y.ulVal;
    case VT_R4:
      return x.fltVal == y.fltVal;
    case VT_BSTR:
      return a.Text() == b.Text();
    default:
      return x.llVal == y.llVal;
  }
}
