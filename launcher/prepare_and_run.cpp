#include "launcher/prepare_and_run.h"

CResult PrepareAndRun(std::wstring, std::wstring, std::wstring&, std::wstring&) {
    return CResult::NotYetRun();
}
