#include "tests/support/certificates.h"

#include "tests/support/command.h"
#include "tests/support/temp_dir.h"

#include <stdexcept>

namespace {

// An EC P-256 key: quick to make, and every cipher list in use has ECDSA
// suites.
void makePair(const TempDir& dir, const std::string& stem, const std::string& commonName, const std::string& keyOptions)
{
  std::string key = dir.path() + "/" + stem + ".key";
  std::string cert = dir.path() + "/" + stem + ".crt";
  CommandResult made = runCommand("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 " + keyOptions
      + " -keyout " + shellQuote(key) + " -out " + shellQuote(cert) + " -days 2 -subj " + shellQuote("/CN=" + commonName));
  if (made.status != 0)
    throw std::runtime_error("openssl req failed: " + made.err);
}

std::string combine(const TempDir& dir, const std::string& name, const std::string& certStem, const std::string& keyStem)
{
  return dir.write(name, readFile(dir.path() + "/" + certStem + ".crt") + readFile(dir.path() + "/" + keyStem + ".key"));
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
  std::string stem = dir.path() + "/" + name + ".parts";
  std::string authorityStem = authority.substr(0, authority.size() - 4);
  CommandResult request = runCommand("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout "
      + shellQuote(stem + ".key") + " -out " + shellQuote(stem + ".csr") + " -subj " + shellQuote("/CN=" + commonName));
  if (request.status != 0)
    throw std::runtime_error("openssl req failed: " + request.err);
  CommandResult signing = runCommand("openssl x509 -req -in " + shellQuote(stem + ".csr") + " -CA "
      + shellQuote(authority) + " -CAkey " + shellQuote(authorityStem + ".key") + " -CAcreateserial -days 2 -out "
      + shellQuote(stem + ".crt"));
  if (signing.status != 0)
    throw std::runtime_error("openssl x509 failed: " + signing.err);
  return combine(dir, name, name + ".parts", name + ".parts");
}
