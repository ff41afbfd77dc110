// One ftp transfer: the file of an ftp address read in passive mode over Winsock, within the
// same bounds as an http download. WinINet's ftp is not used: under Wine it waits 30 s for
// each reply line whatever time-outs are set, and its reads of the data connection have no
// time-out at all, so a silent server would hold the worker past every deadline. Here every
// wait is bounded by the download's limits.
#pragma once
#include <windows.h>
#include <string>

#include "net/transfer.h"

namespace vexa {

// True for ftp addresses, in any letter case.
bool IsFtpAddress(const std::wstring& url) noexcept;

// Reads the file of `request.url` (an ftp address; anonymous unless it names a user) until
// `deadline` (a GetTickCount64 time). A file read whole is a 200 with its bytes, which go to
// `progress`; a reply that refuses the file leaves its code in `result.ftpReply` with the
// nearest HTTP status (550 is a 404, 530 a 401).
void TransferFtp(const FetchRequest& request, const FetchLimits& limits, ULONGLONG deadline,
                 TransferProgress& progress, FetchResult& result);

} // namespace vexa
