#pragma once

#include <string>

class TempDir;

// Test certificates made with the openssl command at test time. Each file holds a self-signed certificate for
// `commonName` followed by its private key, the layout the server reads. "a/CN=b" as the name gives a subject with two
// common names.

// A certificate and an unencrypted key in one PEM file; returns its path.
std::string makeCertificatePem(const TempDir& dir, const std::string& name, const std::string& commonName);

// The same, with the key encrypted under `passPhrase`.
std::string makeEncryptedCertificatePem(
    const TempDir& dir, const std::string& name, const std::string& commonName, const std::string& passPhrase);

// The certificate of `first` with the key of `second`: a mismatched pair.
std::string makeMismatchedPem(const TempDir& dir, const std::string& name);

// A self-signed certificate authority; returns the path of its certificate (its key lies beside it, same stem, ".key").
std::string makeAuthority(const TempDir& dir, const std::string& name);

// A certificate for `commonName` signed by the authority made above, with its unencrypted key, in one PEM file; returns
// its path.
std::string makeSignedCertificatePem(
    const TempDir& dir, const std::string& name, const std::string& commonName, const std::string& authority);
