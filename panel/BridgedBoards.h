// What the panel's window says of the boards behind kelvorn-mqtt bridges: the broker, whether it
// answers, and the bridge of each board (frmTest::SetNetwork), as the MQTT driver knows them.
#pragma once

#include "mqtt/MqttDriver.h"
#include "mqtt/Remote.h"
#include "panel/frmTest.h"

// The driver must outlive the window the result is given to.
frmTest::Network NetworkOf(const kmqtt::MqttDriver& Driver, const kmqtt::Remote& Where);
