#pragma once

// The update server used when -u is not given. The host is a macro so that the
// usage text can splice it into its literal.
#define UPDATER_DEFAULT_HOST "update.tervane.com"

inline constexpr const char *kDefaultServerHost = UPDATER_DEFAULT_HOST;
inline constexpr const char *kDefaultServerUrl = "http://" UPDATER_DEFAULT_HOST "/cgi/u";
