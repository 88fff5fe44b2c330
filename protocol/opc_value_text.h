// The text of a property value for a list reply: numbers in decimal (reals in their shortest
// exact form), VT_BOOL 1 or 0, texts as they are (in the system code page), VT_DATE as an
// ISO 8601 UTC time ("2026-12-08T17:11:36.123Z"), VT_EMPTY as nothing, and any other type as
// "(VARTYPE n)".
//
// Error rule: never fails except std::bad_alloc. Thread rule: any thread. Ownership: values.
#pragma once

#include <string>

#include "opc/opcda.h"

std::string OpcValueText(const VARIANT& value);
