// The dialog's connection settings: the connection types and what each
// means for a call, the port field, and the settings kept between runs in
// group "conndata" of the user's INI file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QSettings;

inline constexpr std::string_view kConnHttp = "HTTP";
inline constexpr std::string_view kConnHttps = "HTTPS";
inline constexpr std::string_view kConnRpc = "DCE/RPC";

// The entries of the connection-type list.
std::vector<std::string> ConnectionTypes();

// Whether the user and password fields are enabled after a type was chosen
// from the list: for the login types HTTP and HTTPS, not for DCE/RPC.
bool CredentialsEnabledFor(std::string_view chosen);

// How a call goes out for the text of the connection-type box, which may
// have been typed: "DCE/RPC" exactly is the RPC transport without user and
// password, "HTTPS" exactly the login style over TLS, anything else the
// login style over HTTP.
struct CallRoute {
    int authStyle; // CX_AUTH_*
    int transport; // CX_TRANSPORT_*
    bool sendsLogin;
    int defaultPort; // the port used when the port field is empty
};
CallRoute RouteFor(std::string_view connectionType);

// The port field: empty (or blanks) is 0, the route's default; 1 to 65535
// is that port; anything else has no value.
std::optional<int> ParsePortField(std::string_view text);

// The settings kept between runs. The password is never among them.
struct ConnSettings {
    std::string host;           // key "vaultname"
    std::string user;           // key "username"
    std::string connectionType; // key "conntype"
    std::string port;           // key "port"
};

// The settings of group "conndata"; absent keys read as empty texts.
ConnSettings ReadConnSettings(QSettings &settings);

// Write the settings to group "conndata" in the order vaultname, username,
// conntype, port (empty values as empty texts) and flush them to disk.
// False when they could not be written.
bool WriteConnSettings(QSettings &settings, const ConnSettings &values);
