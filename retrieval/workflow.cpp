#include "retrieval/workflow.h"

CResult RetrieveAndLaunchInstaller(HWND, const std::wstring&, const std::wstring&, std::wstring*) {
    return CResult::NotYetRun();
}
