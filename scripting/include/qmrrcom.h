// qmrrcom: the automation object QMCOM ("Haldor.QMCOM") through which server-side scripts
// hand a request to a service of this installation over the request/response channel (QMRR)
// and read its answer chunk by chunk.
//
// Contract: IQMCOM is a dual interface; its methods follow IDispatch's in the slot order
// below. Every script-visible argument and result is a VARIANT; results come back through the
// last (retval) pointer, which the method overwrites without clearing. Text arguments are
// converted to the ANSI code page (UTF-8, see qm/com/com.h). One QMCOM is used by the thread
// that created it (apartment model); the channel itself keeps one open request per thread.
// Before a successful ShMemInit the ShMem methods call nothing and answer VT_BOOL 0 (ShMemOpen,
// ShMemClose) or VT_I4 -1 (ShMemWrite, ShMemRead), the channel's "nothing open".
#pragma once

#include "qm/com/com.h"

namespace qm::qmrrcom {

using namespace qm::com;

// {5D1C2A32-3B7E-4F19-9C62-7A0B44E1D2F3}
inline constexpr GUID LIBID_QMRRCOMLib = {
    0x5D1C2A32, 0x3B7E, 0x4F19, {0x9C, 0x62, 0x7A, 0x0B, 0x44, 0xE1, 0xD2, 0xF3}};
// {5D1C2A3F-3B7E-4F19-9C62-7A0B44E1D2F3}
inline constexpr GUID IID_IQMCOM = {
    0x5D1C2A3F, 0x3B7E, 0x4F19, {0x9C, 0x62, 0x7A, 0x0B, 0x44, 0xE1, 0xD2, 0xF3}};
// {5D1C2A40-3B7E-4F19-9C62-7A0B44E1D2F3}
inline constexpr GUID CLSID_QMCOM = {
    0x5D1C2A40, 0x3B7E, 0x4F19, {0x9C, 0x62, 0x7A, 0x0B, 0x44, 0xE1, 0xD2, 0xF3}};
// The scripting context a page hands to OnStartPage: {D97A6DA0-A868-11CF-83AE-00B0C90C2BD8}.
inline constexpr GUID IID_IScriptingContext = {
    0xD97A6DA0, 0xA868, 0x11CF, {0x83, 0xAE, 0x00, 0xB0, 0xC9, 0x0C, 0x2B, 0xD8}};

inline constexpr const char* kProgId = "Haldor.QMCOM.1";
inline constexpr const char* kVersionIndependentProgId = "Haldor.QMCOM";

// The page's scripting context: its five intrinsic objects, in this slot order after IDispatch.
// Each accessor hands out a new reference.
class IScriptingContext : public IDispatch {
public:
    virtual HRESULT get_Request(IDispatch** out) = 0;
    virtual HRESULT get_Response(IDispatch** out) = 0;
    virtual HRESULT get_Server(IDispatch** out) = 0;
    virtual HRESULT get_Session(IDispatch** out) = 0;
    virtual HRESULT get_Application(IDispatch** out) = 0;

protected:
    ~IScriptingContext() = default;
};

class IQMCOM : public IDispatch {
public:
    // 1: takes the five intrinsics from the scripting context behind `context`.
    virtual HRESULT OnStartPage(IUnknown* context) = 0;
    // 2: lets go of them.
    virtual HRESULT OnEndPage() = 0;
    // 3: loads "<installPath>\QMRR.dll" and binds its four calls: VT_BOOL 1 when all bound.
    virtual HRESULT ShMemInit(VARIANT installPath, VARIANT* vaBool) = 0;
    // 4: hands the request text over: VT_BOOL with the library's result.
    virtual HRESULT ShMemOpen(VARIANT serviceData, VARIANT* vaBool) = 0;
    // 5: sends `sendCount` bytes of the converted `sendData`: VT_I4 with the library's result.
    virtual HRESULT ShMemWrite(VARIANT mode, VARIANT sendCount, VARIANT sendData,
                               VARIANT* vaInt) = 0;
    // 6: reads the next piece (at most maxCount bytes): mode into *pmode (VT_I4), the data up to
    // its first NUL byte into *getData (VT_BSTR), the byte count into *vaInt (VT_I4).
    virtual HRESULT ShMemRead(VARIANT* pmode, VARIANT maxCount, VARIANT* getData,
                              VARIANT* vaInt) = 0;
    // 7: ends the exchange: VT_BOOL with the library's result.
    virtual HRESULT ShMemClose(VARIANT* vaBool) = 0;
    // 8-10: the last ShMemRead's data (a new copy), mode and result.
    virtual HRESULT GetReadData(VARIANT* vaGetData) = 0;
    virtual HRESULT GetReadPmode(VARIANT* vaPmode) = 0;
    virtual HRESULT GetReadInt(VARIANT* vaInt) = 0;

protected:
    ~IQMCOM() = default;
};

}  // namespace qm::qmrrcom

extern "C" {
qm::com::HRESULT DllCanUnloadNow(void);
qm::com::HRESULT DllGetClassObject(const qm::com::CLSID& clsid, const qm::com::IID& iid,
                                   void** out);
qm::com::HRESULT DllRegisterServer(void);
qm::com::HRESULT DllUnregisterServer(void);
}
