// The administration through the web: its handlers, operations and navigation.
#include "web/admin.h"

#include <memory>

#include "web/admin_common.h"
#include "web/web_context.h"

void WebAddAdministration(WebContext& web, const WebAdminServices& services) {
  auto shared = std::make_shared<const WebAdminServices>(services);
  AdminAddObjectHandlers(web, shared);
  AdminAddMemberHandlers(web, shared);
  AdminAddScheduleHandlers(web, shared);
  AdminAddReportHandlers(web, shared);
  web.AddAdminLink("Users", "user_a.mhtml");
  web.AddAdminLink("Clients", "client_a.mhtml");
  web.AddAdminLink("Casts", "cast_a.mhtml");
  web.AddAdminLink("Lists", "list_a.mhtml");
  web.AddAdminLink("Dictionaries", "dict_a.mhtml");
  web.AddAdminLink("System", "system_a.mhtml");
  web.AddAdminLink("Reports", "reports_a.mhtml");
}
