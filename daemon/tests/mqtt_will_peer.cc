// A gateway-like MQTT client for the last-will test: connects to
// 127.0.0.1:<port> with the will "offline" (QoS 2, retained) on <topic>,
// announces "online" there once connected, then polls until killed.
#include <mosquitto.h>

#include <cstdlib>
#include <string>

#include "MqttConnector.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  mosquitto_lib_init();
  VESK::MqttConnector client;
  client._host = "127.0.0.1";
  client._port = std::atoi(argv[1]);
  client._reconnectTime = 1;
  std::string topic = argv[2];
  VESK::WillMessageSetting will{true, topic, "offline", 2, true};
  client.SetWillMessage(will);
  client._connectedHandler = [&] { client.Publish(topic, 2, true, "online"); };
  for (;;) client.RunOnce();
}
