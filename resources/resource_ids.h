// Identifiers of the launcher's resources, shared by the .rc file and the code.
#pragma once

#define IDI_LAUNCHER 1
#define IDS_VERSION 16589
#define IDD_PROGRESS 129
#define IDD_PROXY_AUTH 131
#define IDC_PROGRESS_BAR 1001
#define IDC_PROXY_USER 1002
#define IDC_PROXY_PASSWORD 1003
