#pragma once
// A certificate authority made at test time, and a server certificate it signed for the
// address 127.0.0.1 only (so "localhost" is a name mismatch). Made with the openssl tool in
// the given folder; for tests only.

#include <filesystem>
#include <string>

namespace Vel::Test {

struct TestCertificates {
    std::string caFile;      // the authority's certificate (PEM)
    std::string serverCert;  // the server's certificate (PEM)
    std::string serverKey;   // its key (PEM)
};

// Throws std::runtime_error when the openssl tool fails.
TestCertificates MakeTestCertificates(const std::filesystem::path& folder);

}  // namespace Vel::Test
