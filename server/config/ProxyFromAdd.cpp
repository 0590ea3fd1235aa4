// The proxy-from list: the load balancers whose connections begin with a
// PROXY header, and the look-up of a connection's peer in it.
#include <cstring>

#include "config/ConfigText.h"
#include "config/ConfigTbl.h"
#include "log/Log.h"
#include "platform/platform.h"

void ProxyFromAdd(ProxyFromEntry **list, const char *value) {
  PlatAddress address;
  if (PlatAddressParse(value, strlen(value), &address) != 0) {
    LogPrint(LOG_ERR, "Invalid proxy-from : %s", value);
    return;
  }
  ProxyFromEntry *entry = static_cast<ProxyFromEntry *>(ConfigEntryNew(sizeof(ProxyFromEntry)));
  entry->address = address;
  while (*list) list = &(*list)->next;
  *list = entry;
}

// An IPv4 entry also stands for the same client of a dual-stack socket.
bool ProxyFromListed(const PlatAddress *peer) {
  if (!ConfigTbl->proxy_protocol) return false;
  for (const ProxyFromEntry *entry = ConfigTbl->proxy_from; entry; entry = entry->next)
    if (PlatAddressSameHost(&entry->address, peer)) return true;
  return false;
}
