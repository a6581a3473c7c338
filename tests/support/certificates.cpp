#include "tests/support/certificates.h"

#include "tests/support/command.h"
#include "tests/support/temp_dir.h"

#include <stdexcept>

namespace {

void openssl(const std::string& arguments)
{
  CommandResult made = runCommand("openssl " + arguments);
  if (made.status != 0)
    throw std::runtime_error("openssl " + arguments + " failed: " + made.err);
}

// An EC P-256 key (quick to make; every cipher list in use has ECDSA suites) and a certificate for it: self-signed, or
// signed by `authority`.
void makePair(const TempDir& dir, const std::string& stem, const std::string& commonName, const std::string& keyOptions,
    const std::string& authority = "")
{
  std::string path = shellQuote(dir.path() + "/" + stem);
  std::string subject = " -subj " + shellQuote("/CN=" + commonName) + " -addext "
      + shellQuote("subjectAltName=DNS:" + commonName.substr(0, commonName.find('/')) + ",DNS:localhost,IP:127.0.0.1");
  std::string newKey = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 " + keyOptions + " -keyout " + path + ".key";
  if (authority.empty())
    return openssl("req -x509" + newKey + " -out " + path + ".crt -days 2" + subject);
  openssl("req -new" + newKey + " -out " + path + ".csr" + subject);
  openssl("x509 -req -in " + path + ".csr -CA " + shellQuote(authority) + " -CAkey "
      + shellQuote(authority.substr(0, authority.size() - 4) + ".key") + " -CAcreateserial -days 2 -out " + path
      + ".crt");
}

std::string combine(
    const TempDir& dir, const std::string& name, const std::string& certStem, const std::string& keyStem)
{
  return dir.write(
      name, readFile(dir.path() + "/" + certStem + ".crt") + readFile(dir.path() + "/" + keyStem + ".key"));
}

} // namespace

std::string makeCertificatePem(const TempDir& dir, const std::string& name, const std::string& commonName)
{
  makePair(dir, name + ".parts", commonName, "-nodes");
  return combine(dir, name, name + ".parts", name + ".parts");
}

std::string makeEncryptedCertificatePem(
    const TempDir& dir, const std::string& name, const std::string& commonName, const std::string& passPhrase)
{
  makePair(dir, name + ".parts", commonName, "-passout " + shellQuote("pass:" + passPhrase));
  return combine(dir, name, name + ".parts", name + ".parts");
}

std::string makeMismatchedPem(const TempDir& dir, const std::string& name)
{
  makePair(dir, name + ".first", "first", "-nodes");
  makePair(dir, name + ".second", "second", "-nodes");
  return combine(dir, name, name + ".first", name + ".second");
}

std::string makeAuthority(const TempDir& dir, const std::string& name)
{
  makePair(dir, name, name + " authority", "-nodes -addext basicConstraints=critical,CA:TRUE");
  return dir.path() + "/" + name + ".crt";
}

std::string makeSignedCertificatePem(
    const TempDir& dir, const std::string& name, const std::string& commonName, const std::string& authority)
{
  makePair(dir, name + ".parts", commonName, "-nodes", authority);
  return combine(dir, name, name + ".parts", name + ".parts");
}
