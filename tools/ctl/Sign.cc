#include "Sign.h"

#include <ctime>
#include <iostream>

#include "GatewayLink.h"
#include "RequestSignature.h"

namespace VESK::ctl {

int Keygen(const std::vector<std::string>& operands) {
  if (operands.size() != 1) {
    std::cerr << "pemrix-ctl keygen FILE\n";
    return 2;
  }
  const std::string& file = operands[0];
  std::string error;
  SigningKey key;
  if (!GenerateKeyPair(file, file + ".pub", error) || !key.Load(file + ".pub", false, error)) {
    std::cerr << "pemrix-ctl: " << error << '\n';
    return 1;
  }
  std::cout << "private key " << file << " (keep it off the gateways)\n"
            << "public key  " << file << ".pub, fingerprint " << key.Fingerprint() << '\n';
  return 0;
}

bool SignRequests(GatewayLink& link, const std::string& keyFile, const std::string& gateway, std::string& error) {
  SigningKey key;
  if (!key.Load(keyFile, true, error)) {
    error = keyFile + ": " + error;
    return false;
  }
  link.encode = [key, gateway](const nlohmann::json& request) {
    return SignRequest(key, request, gateway, static_cast<int64_t>(std::time(nullptr)));
  };
  return true;
}

}  // namespace VESK::ctl
