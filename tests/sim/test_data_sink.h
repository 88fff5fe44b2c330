// A recording IOPCDataCallback for the simulator's tests: every callback is kept with its
// entries (values as text), the thread it arrived on and its kind.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "opc/opcda.h"

struct SinkEntry {
  OPCHANDLE handle = 0;
  VARTYPE vt = VT_EMPTY;
  std::string value;  // the value as decimal text ("" for VT_EMPTY)
  WORD quality = 0;
  HRESULT error = S_OK;
};

struct SinkCall {
  enum class Kind { kDataChange, kReadComplete, kWriteComplete, kCancelComplete };
  Kind kind = Kind::kDataChange;
  DWORD transactionId = 0;
  OPCHANDLE group = 0;
  HRESULT masterQuality = S_OK;
  HRESULT masterError = S_OK;
  std::vector<SinkEntry> entries;
  std::thread::id thread;
};

class TestDataSink final : public IOPCDataCallback {
public:
  // Starts with one reference. Without the callback interface it refuses IID_IOPCDataCallback.
  explicit TestDataSink(bool offerCallback = true) : m_offerCallback(offerCallback) {}

  std::vector<SinkCall> calls;  // touched only on the thread the callbacks arrive on
  // Runs inside each OnDataChange and OnReadComplete, after the call is recorded.
  std::function<void(const SinkCall&)> onValues;
  ULONG RefCount() const { return m_refs.load(); }
  std::size_t Count(SinkCall::Kind kind) const {
    std::size_t n = 0;
    for (const auto& c : calls) n += c.kind == kind ? 1 : 0;
    return n;
  }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IUnknown || (m_offerCallback && riid == IID_IOPCDataCallback)) {
      *ppv = static_cast<IOPCDataCallback*>(this);
      AddRef();
      return S_OK;
    }
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++m_refs; }
  ULONG Release() override {
    const ULONG n = --m_refs;
    if (n == 0) delete this;
    return n;
  }

  HRESULT OnDataChange(DWORD transId, OPCHANDLE group, HRESULT quality, HRESULT error, DWORD count,
                       OPCHANDLE* handles, VARIANT* values, WORD* qualities, FILETIME* times,
                       HRESULT* errors) override {
    Record(SinkCall::Kind::kDataChange, transId, group, quality, error, count, handles, values,
           qualities, times, errors);
    return S_OK;
  }
  HRESULT OnReadComplete(DWORD transId, OPCHANDLE group, HRESULT quality, HRESULT error,
                         DWORD count, OPCHANDLE* handles, VARIANT* values, WORD* qualities,
                         FILETIME* times, HRESULT* errors) override {
    Record(SinkCall::Kind::kReadComplete, transId, group, quality, error, count, handles, values,
           qualities, times, errors);
    return S_OK;
  }
  HRESULT OnWriteComplete(DWORD transId, OPCHANDLE group, HRESULT error, DWORD count,
                          OPCHANDLE* handles, HRESULT* errors) override {
    SinkCall call;
    call.kind = SinkCall::Kind::kWriteComplete;
    call.transactionId = transId;
    call.group = group;
    call.masterError = error;
    call.thread = std::this_thread::get_id();
    for (DWORD i = 0; i < count; ++i) {
      SinkEntry entry;
      entry.handle = handles[i];
      entry.error = errors[i];
      call.entries.push_back(entry);
    }
    calls.push_back(call);
    return S_OK;
  }
  HRESULT OnCancelComplete(DWORD transId, OPCHANDLE group) override {
    SinkCall call;
    call.kind = SinkCall::Kind::kCancelComplete;
    call.transactionId = transId;
    call.group = group;
    call.thread = std::this_thread::get_id();
    calls.push_back(call);
    return S_OK;
  }

  static std::string TextOf(const VARIANT& value) {
    if (value.vt == VT_EMPTY) return "";
    VARIANT text;
    VariantInit(&text);
    if (FAILED(VariantChangeType(&text, &value, 0, VT_BSTR))) return "?";
    std::string ascii;
    for (UINT i = 0; i < SysStringLen(text.bstrVal); ++i)
      ascii.push_back(static_cast<char>(text.bstrVal[i]));
    VariantClear(&text);
    return ascii;
  }

private:
  ~TestDataSink() = default;

  void Record(SinkCall::Kind kind, DWORD transId, OPCHANDLE group, HRESULT quality, HRESULT error,
              DWORD count, const OPCHANDLE* handles, const VARIANT* values, const WORD* qualities,
              const FILETIME* /*times*/, const HRESULT* errors) {
    SinkCall call;
    call.kind = kind;
    call.transactionId = transId;
    call.group = group;
    call.masterQuality = quality;
    call.masterError = error;
    call.thread = std::this_thread::get_id();
    for (DWORD i = 0; i < count; ++i) {
      SinkEntry entry;
      entry.handle = handles[i];
      entry.vt = values[i].vt;
      entry.value = TextOf(values[i]);
      entry.quality = qualities[i];
      entry.error = errors[i];
      call.entries.push_back(entry);
    }
    calls.push_back(call);
    if (onValues) onValues(calls.back());
  }

  const bool m_offerCallback;
  std::atomic<ULONG> m_refs{1};
};
