// The settings in force for a user and a client at this moment. A setting may be
// given on the system object, on a cast, on a user and on a client, each as a base
// attribute or inside a scheduled event; the levels are asked from weakest to
// strongest, and a value found at a stronger level replaces one found before:
//
//   1 the system object              2 the user's cast (the user's base Cast)
//   3 the user                       4 the client's cast (the client's base Cast)
//   5 the client
//
// A level whose object does not exist contributes nothing; an empty user or client
// name leaves out its two levels. Within one object the value comes from the event
// in force, else from the object's base table.
//
// Every function reads the process-wide configuration (Configuration::Process());
// without one nothing is found. Safe from any thread. Results follow the
// configuration's convention: 0 found, 1 not found.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "config/attribute_table.h"

class Configuration;
class CTernLocalDomainSource;

// Attribute names read by this module and by the access checks.
inline constexpr char kAttrAllowSMTP[] = "AllowSMTP";
inline constexpr char kAttrAllowPOP[] = "AllowPOP";
inline constexpr char kAttrAllowOstrelUI[] = "AllowOstrelUI";
inline constexpr char kAttrAutoLock[] = "AutoLock";
inline constexpr char kAttrAutoLockX[] = "AutoLockX";
inline constexpr char kAttrAutoLockY[] = "AutoLockY";
inline constexpr char kAttrDomain[] = "Domain";
inline constexpr char kAttrOtherDomains[] = "OtherDomains";

// The value in force of attribute. out is emptied first; 0 when some level had a
// value (out holds the strongest), 1 when none had.
int GetEffectiveValue(std::string_view client, std::string_view user, std::string_view attribute,
                      std::string& out);

// The same into buffer (size bytes, with the terminating zero). The first byte is
// set to NUL first; a level whose value is size bytes or longer is not copied (the
// weaker level's value stays). -1 for a null buffer or a size of 0.
int GetEffectiveValueBuffer(std::string_view client, std::string_view user,
                            std::string_view attribute, char* buffer, size_t size);

// As GetEffectiveValueBuffer over the casts only: the user's cast, then the
// client's cast.
int GetCastValue(std::string_view client, std::string_view user, std::string_view attribute,
                 char* buffer, size_t size);

// Replaces table with every attribute in force: for each level in order, the
// object's base table and then the settings of its event in force (schedule fields
// included), each replacing same-named entries. With defaultOnly only Default
// Events count. 0 when some level's object exists, else 1 (table empty).
int GetEffectiveSettings(std::string_view client, std::string_view user, bool defaultOnly,
                         AttributeTable& table);

// Access rules. SMTP and POP3 are refused only when the value in force begins with
// '0' (no value allows); the web client is allowed only when the value in force,
// read as an integer, is above 0 (no value refuses).
bool AllowSMTP(std::string_view client, std::string_view user);
bool AllowPOP(std::string_view client, std::string_view user);
bool AllowOstrelUI(std::string_view client, std::string_view user);

// A value read as an integer: the decimal number at its start (after blanks, with an
// optional sign), 0 when there is none.
long SettingNumber(std::string_view value);

// The source of the local mail domains for the mail address parser: the system's
// Domain and OtherDomains in force in configuration, read again whenever the
// configuration has been loaded, saved or changed. configuration must outlive every
// use of the source: install it with InstallLocalDomains and remove it before the
// configuration is deleted.
std::shared_ptr<CTernLocalDomainSource> MakeLocalDomainSource(Configuration& configuration);

// Installs the local domains of configuration for every mail address parse (null:
// removes them; bare names then stay bare and no domain is local).
void InstallLocalDomains(Configuration* configuration);
