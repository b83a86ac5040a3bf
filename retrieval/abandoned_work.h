// What earlier runs of this user left behind and no longer need. A killed
// run leaves its work folder (until the next restart) and the partial of its
// download; a later run removes such work folders, and partials nobody has
// gone on with for 7 days.
#pragma once

#include <string>

#include "foundation/private_access.h"

// Work folders of this user in `tempFolder` (which ends with a backslash)
// that no run holds any more: a UUID-named private folder with the
// installer file in it, that no running launcher holds and whose installer
// file nobody has open (an older launcher downloading into it, an installer
// running from it). Then partials of this user in `partialFolder` (ends
// with a backslash) last written more than 7 days ago. Nothing here ever
// fails the run.
void RemoveAbandonedWork(const std::wstring& tempFolder, const std::wstring& partialFolder,
                         const CPrivateAccess& access);
