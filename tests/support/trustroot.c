/* trustroot ROOT.der
 *
 * Adds a DER certificate to the current user's ROOT store of this Wine
 * prefix (never the host's). Test-only. */
#include <windows.h>
#include <wincrypt.h>
#include <stdio.h>

int wmain(int argc, wchar_t** argv) {
    HANDLE file;
    BYTE der[16384];
    DWORD size = 0;
    HCERTSTORE store;
    if (argc != 2) {
        fprintf(stderr, "usage: trustroot ROOT.der\n");
        return 2;
    }
    file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE || !ReadFile(file, der, sizeof der, &size, NULL) || size == 0) {
        fprintf(stderr, "trustroot: cannot read the certificate (error %lu)\n", GetLastError());
        return 3;
    }
    CloseHandle(file);
    store = CertOpenSystemStoreW(0, L"ROOT");
    if (!store || !CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der, size,
                                                    CERT_STORE_ADD_REPLACE_EXISTING, NULL)) {
        fprintf(stderr, "trustroot: cannot add the certificate (error %lu)\n", GetLastError());
        return 4;
    }
    CertCloseStore(store, 0);
    return 0;
}
