#pragma once
// A channel driver: the link from the gateway to one kind of field bus or
// server. Device drivers receive it as std::shared_ptr<IChannelDriver> and
// cast it to the concrete class they speak to.
namespace VESK::DAQ {

class IChannelDriver {
 public:
  virtual ~IChannelDriver();
  // True while the channel is connected. Must not block.
  virtual bool IsChannelConnected() = 0;
  // Tries to (re)establish the connection when it is down; may block for the
  // channel's connect time-out. True when the channel is usable afterwards.
  virtual bool CheckConnection() = 0;
};

}  // namespace VESK::DAQ
