#include "signature/publisher_signature.h"

#include <vector>

#include "expected_publisher.h"
#include "signature/crypt_api.h"
#include "signature/crypt_handles.h"

const wchar_t kExpectedPublisher[] = LOOMCRAFT_EXPECTED_PUBLISHER;
const wchar_t kExpectedIssuer[] = LOOMCRAFT_EXPECTED_ISSUER;

namespace {

// The trust data record without the later signature-settings member.
constexpr DWORD kTrustDataSize = sizeof(WINTRUST_DATA);
static_assert(sizeof(void*) != 4 || kTrustDataSize == 48, "trust data record");
constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

constexpr LONG kNoChain = static_cast<LONG>(0x800B010A);  // CERT_E_CHAINING

// The signer's chain as the trust provider built it must end in a trusted
// root and be valid in time (the base chain policy), whatever the provider
// itself enforced: some providers skip their chain policy for some digests
// and would pass a chain of the signer's own making.
LONG CheckSignerChain(HANDLE providerState) {
    CRYPT_PROVIDER_DATA* provider = wintrust::WTHelperProvDataFromStateData(providerState);
    CRYPT_PROVIDER_SGNR* signer = provider != nullptr ? wintrust::WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : nullptr;
    if (signer == nullptr || signer->pChainContext == nullptr) return kNoChain;
    CERT_CHAIN_POLICY_PARA policy = {};
    policy.cbSize = sizeof policy;
    CERT_CHAIN_POLICY_STATUS verdict = {};
    verdict.cbSize = sizeof verdict;
    if (!crypt32::CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, signer->pChainContext, &policy, &verdict)) {
        return HResultFromLastError();
    }
    return static_cast<LONG>(verdict.dwError);
}

// WinVerifyTrust, then the base chain policy on the signer's chain that the
// trust provider built.
LONG VerifyFileTrust(const std::wstring& path) {
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA trust = {};
    trust.cbStruct = kTrustDataSize;
    trust.dwUIChoice = WTD_UI_NONE;
    trust.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &file;
    // The provider's state is kept until closed, so that the chain it built
    // can be checked too.
    trust.dwStateAction = WTD_STATEACTION_VERIFY;
    trust.dwProvFlags = WTD_REVOCATION_CHECK_NONE;
    trust.dwUIContext = WTD_UICONTEXT_EXECUTE;
    LONG status = wintrust::WinVerifyTrust(nullptr, &action, &trust);
    if (status == 0) status = CheckSignerChain(trust.hWVTStateData);
    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    wintrust::WinVerifyTrust(nullptr, &action, &trust);
    return status;
}

CResult GetSignerCertificate(const std::wstring& path, CertContext& certificate) {
    CertStore store;
    CryptMsg message;
    DWORD encoding = 0, contentType = 0, formatType = 0;
    if (!crypt32::CryptQueryObject(CERT_QUERY_OBJECT_FILE, path.c_str(), CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED_EMBED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, &encoding, &contentType, &formatType,
                          store.receive(), message.receive(), nullptr)) {
        return CResult::FromLastError(50);
    }
    DWORD size = 0;
    if (!crypt32::CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size)) {
        return CResult::FromLastError(61);
    }
    LocalMemory signerBuffer(LocalAlloc(LPTR, size));
    if (!signerBuffer) return CResult::FromLastError(65);
    if (!crypt32::CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, signerBuffer.get(), &size)) {
        return CResult::FromLastError(72);
    }
    const CMSG_SIGNER_INFO* signer = static_cast<const CMSG_SIGNER_INFO*>(signerBuffer.get());
    CERT_INFO lookup = {};
    lookup.Issuer = signer->Issuer;
    lookup.SerialNumber = signer->SerialNumber;
    certificate.reset(crypt32::CertFindCertificateInStore(store.get(), kEncoding, 0, CERT_FIND_SUBJECT_CERT, &lookup,
                                                 nullptr));
    if (!certificate) return CResult::FromLastError(85);
    return CResult();
}

CResult GetCertificateName(PCCERT_CONTEXT certificate, DWORD flags, std::wstring& name) {
    DWORD count = crypt32::CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, nullptr, 0);
    if (count == 0) return CResult(E_FAIL, 104);
    std::vector<wchar_t> buffer(count);
    count = crypt32::CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, flags, nullptr, buffer.data(), count);
    if (count == 0) return CResult(E_FAIL, 112);
    name.assign(buffer.data(), count - 1);
    return CResult();
}

CResult GetSubjectAndIssuer(PCCERT_CONTEXT certificate, std::wstring& subject, std::wstring& issuer) {
    CResult named = GetCertificateName(certificate, 0, subject);
    if (named.Failed()) return Propagate(named, 126);
    named = GetCertificateName(certificate, CERT_NAME_ISSUER_FLAG, issuer);
    if (named.Failed()) return Propagate(named, 132);
    return CResult();
}

}  // namespace

CResult VerifyPublisherSignature(const std::wstring& path) {
    LONG status = VerifyFileTrust(path);
    if (status != 0) return CResult(HResultFromError(status), 190, L"Could not verify signature");

    CertContext certificate;
    CResult found = GetSignerCertificate(path, certificate);
    if (found.Failed()) return CResult(found.m_hr, 199, L"Could not get certificate");

    std::wstring subject, issuer;
    CResult named = GetSubjectAndIssuer(certificate.get(), subject, issuer);
    if (named.Failed()) return CResult(named.m_hr, 206, L"Could not verify certificate information");

    // Whole-string, ordinal, case-sensitive: no trimming, no normalisation.
    if (subject != kExpectedPublisher || issuer != kExpectedIssuer) {
        return CResult(E_FAIL, 210, L"Invalid certificate information");
    }
    return CResult();
}
