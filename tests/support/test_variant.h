// A VARIANT with value semantics for tests: copies deep, clears on destruction, compares by type
// and value. Never fails (allocation failures leave it empty). Thread rule: none (plain value).
#pragma once

#include <cstdint>
#include <string>

#include "opc/opcda.h"

class CTestVariant {
public:
  CTestVariant();
  explicit CTestVariant(const VARIANT& value);
  CTestVariant(const CTestVariant& other);
  CTestVariant& operator=(const CTestVariant& other);
  ~CTestVariant();

  static CTestVariant Empty();
  static CTestVariant I1(std::int8_t value);
  static CTestVariant I2(std::int16_t value);
  static CTestVariant I4(std::int32_t value);
  static CTestVariant UI1(std::uint8_t value);
  static CTestVariant UI2(std::uint16_t value);
  static CTestVariant UI4(std::uint32_t value);
  static CTestVariant Bool(bool value);  // VARIANT_TRUE (-1) or VARIANT_FALSE
  static CTestVariant R4(float value);
  static CTestVariant R8(double value);
  static CTestVariant Str(const std::u16string& value);  // VT_BSTR

  VARTYPE Type() const { return m_value.vt; }
  const VARIANT& Get() const { return m_value; }
  VARIANT& Get() { return m_value; }
  // The BSTR as a string (empty for other types).
  std::u16string Text() const;

private:
  VARIANT m_value;
};

bool operator==(const CTestVariant& a, const CTestVariant& b);  // same type and same value
