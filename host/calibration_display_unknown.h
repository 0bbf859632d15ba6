// The IUnknown shared by the host's calibration display objects: they answer
// for ICalibrationDisplay and IUnknown only, start with the creator's
// reference and delete themselves at the last Release. Any thread may call;
// the count is interlocked.
#pragma once

#include <windows.h>

#include "eye_tracker_host.h"

namespace okulon {

template <class Display>
class CalibrationDisplayUnknown : public ICalibrationDisplay {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (!IsEqualGUID(iid, IID_IUnknown) && !IsEqualGUID(iid, IID_ICalibrationDisplay)) return E_NOINTERFACE;
        *object = static_cast<ICalibrationDisplay*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_refCount)); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG count = InterlockedDecrement(&m_refCount);
        if (count == 0) delete static_cast<Display*>(this);
        return static_cast<ULONG>(count);
    }

    LONG ReferenceCount() const noexcept {
        return InterlockedCompareExchange(const_cast<volatile LONG*>(&m_refCount), 0, 0);
    }

protected:
    CalibrationDisplayUnknown() noexcept = default;
    ~CalibrationDisplayUnknown() = default;

private:
    volatile LONG m_refCount = 1;
};

}  // namespace okulon
