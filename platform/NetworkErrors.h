#pragma once
// The network layer's error codes (the range 12000-12174) and their texts.
//
// Contract: the table is constant; NetworkErrorMessage gives "" for a code without text.
// Thread-safe.

#include <string_view>

namespace Vel::Platform {

enum NetworkError : unsigned {
    kNetTimeout = 12002,
    kNetInternalError = 12004,
    kNetInvalidUrl = 12005,
    kNetUnrecognizedScheme = 12006,
    kNetNameNotResolved = 12007,
    kNetOperationCancelled = 12017,
    kNetCannotConnect = 12029,
    kNetConnectionAborted = 12030,
    kNetConnectionReset = 12031,
    kNetSecureCertDateInvalid = 12037,
    kNetSecureCertCnInvalid = 12038,
    kNetClientAuthCertNeeded = 12044,
    kNetSecureInvalidCA = 12045,
    kNetInvalidServerResponse = 12152,
    kNetRedirectFailed = 12156,
    kNetSecureFailure = 12157,
    kNetSecureCertRevoked = 12170,
};

std::string_view NetworkErrorMessage(unsigned code);

}  // namespace Vel::Platform
