#include "platform/NetworkErrors.h"

namespace Vel::Platform {

std::string_view NetworkErrorMessage(unsigned code) {
    switch (code) {
        case kNetTimeout: return "The operation timed out";
        case kNetInternalError: return "An internal error occurred in the network layer";
        case kNetInvalidUrl: return "The URL is invalid";
        case kNetUnrecognizedScheme: return "The URL scheme could not be recognized or is not supported";
        case kNetNameNotResolved: return "The server name or address could not be resolved";
        case kNetOperationCancelled: return "The operation was canceled";
        case kNetCannotConnect: return "A connection with the server could not be established";
        case kNetConnectionAborted: return "The connection with the server was terminated abnormally";
        case kNetConnectionReset: return "The connection with the server was reset";
        case kNetSecureCertDateInvalid: return "The SSL certificate date is invalid";
        case kNetSecureCertCnInvalid: return "The SSL certificate common name does not match the server";
        case kNetClientAuthCertNeeded: return "The server requires a client certificate";
        case kNetSecureInvalidCA: return "The certificate authority is invalid or incorrect";
        case kNetInvalidServerResponse: return "The server response could not be parsed";
        case kNetRedirectFailed: return "The redirection failed because either the scheme changed or all attempts made to redirect failed";
        case kNetSecureFailure: return "An error occurred in the secure channel support";
        case kNetSecureCertRevoked: return "The SSL certificate was revoked";
        default: return {};
    }
}

}  // namespace Vel::Platform
