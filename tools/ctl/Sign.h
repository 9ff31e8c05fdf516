#pragma once
// pemrix-ctl's part in signed management: the "keygen" command, and a link
// whose every request goes out signed for one gateway.
#include <string>
#include <vector>

namespace VESK::ctl {

class GatewayLink;

// "pemrix-ctl keygen FILE": FILE gets a new private key (mode 0600), FILE.pub
// its public key. Returns the exit status.
int Keygen(const std::vector<std::string>& operands);

// From now on link signs every request with the private key in keyFile for
// gateway. False with a reason when the key cannot be used.
bool SignRequests(GatewayLink& link, const std::string& keyFile, const std::string& gateway, std::string& error);

}  // namespace VESK::ctl
