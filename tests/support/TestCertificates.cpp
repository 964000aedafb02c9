#include "tests/support/TestCertificates.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace Vel::Test {

namespace {
void Run(const std::string& command) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0) throw std::runtime_error("failed: " + command);
}
}  // namespace

TestCertificates MakeTestCertificates(const std::filesystem::path& folder) {
    const std::string d = folder.string();
    TestCertificates c{d + "/ca.pem", d + "/server.pem", d + "/server.key"};
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    Run("openssl req -x509" + ec + " -keyout '" + d + "/ca.key' -out '" + c.caFile +
        "' -days 2 -subj '/CN=Trailstarter Test CA' -addext 'basicConstraints=critical,CA:TRUE'"
        " -addext 'keyUsage=critical,keyCertSign,cRLSign'");
    Run("openssl req" + ec + " -keyout '" + c.serverKey + "' -out '" + d + "/server.csr' -subj '/CN=127.0.0.1'");
    std::ofstream(d + "/ext.cnf") << "subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n";
    Run("openssl x509 -req -in '" + d + "/server.csr' -CA '" + c.caFile + "' -CAkey '" + d +
        "/ca.key' -CAcreateserial -out '" + c.serverCert + "' -days 2 -extfile '" + d + "/ext.cnf'");
    return c;
}

}  // namespace Vel::Test
