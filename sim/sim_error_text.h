// The simulator's texts for result codes (GetErrorString, locale 1033).
//
// Error rule: null for a code the simulator has no text for. Thread rule: any thread.
// Ownership: the texts are static.
#pragma once

#include "opc/opcda.h"

const WideChar* SimErrorText(HRESULT code);
