// CMyGlobals: the process-wide single-instance guard, set up when the library loads.
// It only tells; both processes go on working as usual.
#include "module/console.h"
#include "platform/os.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace torq {
namespace {

class CMyGlobals {
public:
    CMyGlobals() {
        if (!guard_.Acquire(L"torqpanelengine")) {
            ConsolePrint("Kavro Engine already running!");
        }
    }
    ~CMyGlobals() { guard_.Release(); }
    CMyGlobals(const CMyGlobals&) = delete;
    CMyGlobals& operator=(const CMyGlobals&) = delete;

private:
    NamedGuard guard_;
};

CMyGlobals g_globals;

}  // namespace
}  // namespace torq

#if defined(_WIN32)
// The library needs no per-thread attach or detach notifications.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}
#endif
