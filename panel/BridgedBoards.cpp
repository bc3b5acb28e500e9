#include "panel/BridgedBoards.h"

frmTest::Network NetworkOf(const kmqtt::MqttDriver& Driver, const kmqtt::Remote& Where) {
    frmTest::Network network;
    const QString host = QString::fromStdString(Where.Host);
    // An IPv6 address in brackets, as in the URL, so that the port stands apart.
    network.Broker =
        (host.contains(QLatin1Char(':')) ? QLatin1Char('[') + host + QLatin1Char(']') : host) +
        QLatin1Char(':') + QString::number(Where.Port);
    network.Unreachable = [&Driver] { return QString::fromStdString(Driver.Unreachable()); };
    network.BridgeOf = [&Driver](const QString& Serial) {
        return QString::fromStdString(Driver.BridgeOf(Serial.toLatin1().toStdString()));
    };
    return network;
}
