// SPDX-License-Identifier: Apache-2.0
// Where the system has no DNS-SD service to reach (no system message bus: a container, a
// minimal install), the framework's DNS-SD client is null, and the framework still asks
// for a browser or a resolver with it: the DNS-SD library then stops the process on an
// assertion. `tq33-printer-app devices` did so, and so would a dnssd:// printer. These
// definitions stand in front of the library's own (the program's symbols are found
// first): a null client gets no object, which the framework takes as "unable to browse"
// or "unable to resolve" and reports; any other call goes on to the library.
#include <avahi-client/lookup.h>
#include <dlfcn.h>

namespace {

// The library's own definition of the function named.
template <typename Function>
Function* Next(const char* name) {
  return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) AvahiServiceBrowser* avahi_service_browser_new(
    AvahiClient* client, AvahiIfIndex interface, AvahiProtocol protocol, const char* type,
    const char* domain, AvahiLookupFlags flags, AvahiServiceBrowserCallback callback, void* data) {
  static auto* const next = Next<decltype(avahi_service_browser_new)>("avahi_service_browser_new");
  if (!client || !next) return nullptr;
  return next(client, interface, protocol, type, domain, flags, callback, data);
}

__attribute__((visibility("default"))) AvahiServiceResolver* avahi_service_resolver_new(
    AvahiClient* client, AvahiIfIndex interface, AvahiProtocol protocol, const char* name,
    const char* type, const char* domain, AvahiProtocol addressProtocol, AvahiLookupFlags flags,
    AvahiServiceResolverCallback callback, void* data) {
  static auto* const next = Next<decltype(avahi_service_resolver_new)>("avahi_service_resolver_new");
  if (!client || !next) return nullptr;
  return next(client, interface, protocol, name, type, domain, addressProtocol, flags, callback, data);
}

__attribute__((visibility("default"))) AvahiRecordBrowser* avahi_record_browser_new(
    AvahiClient* client, AvahiIfIndex interface, AvahiProtocol protocol, const char* name,
    uint16_t recordClass, uint16_t type, AvahiLookupFlags flags, AvahiRecordBrowserCallback callback,
    void* data) {
  static auto* const next = Next<decltype(avahi_record_browser_new)>("avahi_record_browser_new");
  if (!client || !next) return nullptr;
  return next(client, interface, protocol, name, recordClass, type, flags, callback, data);
}

}  // extern "C"
