#pragma once

#include <string_view>

// Where the server's options stand in VentoroServer.ini and how their texts
// are taken. The server reads them at start-up and the configuration tool
// edits them; both go by this one layout.
namespace ServerOptionsLayout {

inline constexpr char Section[] = "General";

inline constexpr char ConnectPortKey[] = "ConnectPort";
inline constexpr char ClientConnectPortKey[] = "ClientConnectPort";
inline constexpr char HttpPortKey[] = "HttpPort";
inline constexpr char HttpAddressKey[] = "HttpAddress";
inline constexpr char MotdKey[] = "MOTD";
inline constexpr char CrashTextKey[] = "CrashText";
inline constexpr char DebugKey[] = "Debug";
inline constexpr char DebugLowLevelKey[] = "DebugLowLevel";
inline constexpr char ShowScreenKey[] = "ShowScreen";
inline constexpr char MaxPilotsKey[] = "MaxPilots";
inline constexpr char ReplyToSourcePortKey[] = "ReplyToSourcePort";
// The sky: other servers sharing their pilots with this one over NATS.
inline constexpr char SkyUrlKey[] = "SkyUrl";
inline constexpr char SkyNodeKey[] = "SkyNode";
inline constexpr char SkyNameKey[] = "SkyName";
inline constexpr char SkyCredentialsKey[] = "SkyCredentials";
inline constexpr char SkyCaFileKey[] = "SkyCaFile";
inline constexpr char DefaultSkyName[] = "default";
inline constexpr char KeepPilotsOnRestartKey[] = "KeepPilotsOnRestart";

inline constexpr int DefaultConnectPort = 1500;
inline constexpr int DefaultClientConnectPort = 1501;
// The HTTP status page is off unless a port is set, and then answers on the
// machine itself only unless an address is set.
inline constexpr int DefaultHttpPort = 0;
inline constexpr char DefaultHttpAddress[] = "127.0.0.1";
inline constexpr char DefaultCrashText[] = "stacked his crate!!";
inline constexpr char DefaultMotd[] = "Ventoro server run by Brisalt Ltd";
// No limit on the pilots logged on at once.
inline constexpr int DefaultMaxPilots = 0;
// What a missing switch is read as: on.
inline constexpr int SwitchDefault = -1;
// "ReplyToSourcePort" is the one switch that is off when missing: records go
// to ClientConnectPort of a pilot's address unless the operator asks for the
// address and port the pilot sends from.
inline constexpr int DefaultReplyToSourcePort = 0;
// "KeepPilotsOnRestart" is off when missing too: a restart begins with an
// empty registry unless the operator asks for the registry to be kept.
inline constexpr int DefaultKeepPilotsOnRestart = 0;

// The settings a running server takes in again on a reload (SIGHUP), and
// those it takes in only when it starts.
inline constexpr const char *ReloadedKeys[] = {MotdKey, CrashTextKey, MaxPilotsKey};
inline constexpr const char *RestartOnlyKeys[] = {ConnectPortKey,      ClientConnectPortKey, HttpPortKey,
                                                  HttpAddressKey,      ReplyToSourcePortKey, DebugKey,
                                                  DebugLowLevelKey,    ShowScreenKey,        KeepPilotsOnRestartKey,
                                                  SkyUrlKey,           SkyNodeKey,           SkyNameKey,
                                                  SkyCredentialsKey,   SkyCaFileKey};

// A logging switch ("Debug", "DebugLowLevel"): a number is on unless it is
// 0, the words True and False count as such, and anything else (missing,
// empty, other text) counts as on, the default.
bool loggingSwitchOn(std::string_view text);

// "ShowScreen": on unless the number at the start of the text is 0 (empty
// text and other text give 0).
bool screenSwitchOn(std::string_view text);

} // namespace ServerOptionsLayout
