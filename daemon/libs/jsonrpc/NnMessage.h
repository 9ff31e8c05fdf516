#pragma once
// Owner of a message buffer that nanomsg allocated for an NN_MSG receive.
#include <nanomsg/nn.h>

namespace VESK {

class NnMessage {
 public:
  NnMessage() = default;
  ~NnMessage() {
    if (_data != nullptr) nn_freemsg(_data);
  }
  NnMessage(const NnMessage&) = delete;
  NnMessage& operator=(const NnMessage&) = delete;
  // Target for nn_recv(socket, message.Out(), NN_MSG, flags).
  void* Out() { return &_data; }
  const char* Data() const { return static_cast<const char*>(_data); }

 private:
  void* _data = nullptr;
};

}  // namespace VESK
