#ifndef SERVICEADDRESS_H
#define SERVICEADDRESS_H

namespace ServiceAddress {

// Web host of the public speed-test service: the configuration and the
// server list documents are fetched from it over HTTPS.
inline constexpr char WebHost[] = "www.speedtest.net";

inline constexpr char ConfigPath[] = "/speedtest-config.php";
inline constexpr char ServersPath[] = "/speedtest-servers-static.php";

} // namespace ServiceAddress

#endif // SERVICEADDRESS_H
