// The application operations of the page frame, which every administration and
// web mail template uses:
//   AdminHeader title=...    the document head, the stylesheet and the masthead
//   AdminFooter              the administration navigation bar, then the footer
//   UserFooter               the standard footer alone
//   ShowUserBar              the web mail navigation bar
//   CanUseWebClient message=...   stops with the web mail login page carrying
//                            message when the user may not use the web client
//   RequiredVar var=... message=...   stops with the error page showing message
//                            when the variable is missing or empty
//   RequiredPerms            (the engine's) stops unless the user holds the codes
//   ShowVersionNumber        the version, "1.0.2"
//   MyAddress                the logged-in user's own mail address
//   ShowFile file=...        a text file of the local directory, escaped
//   SystemUserBox name=... size=... multiple   a select element of the accounts
//                            a user object may name as its RealAcct
// Everything they write that comes from a request, the configuration or a file is
// escaped. The operations keep a reference to the context they are added to.
#pragma once

#include <string>
#include <vector>

class WebContext;

// Adds the operations above to web.
void WebAddFrameOperations(WebContext& web);

// The accounts a user object may name as its RealAcct: the entries of the accounts
// file at accountsFile (an entry without a domain written ".\name"), then this
// machine's login accounts as ".\name", each once (letter case aside).
std::vector<std::string> WebSystemAccounts(const std::string& accountsFile);
