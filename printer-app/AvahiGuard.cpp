// Without avahi-daemon, PAPPL's DNS-SD client is null, and PAPPL still hands
// it to libavahi-client's browser and resolver constructors when it lists
// devices ("devices", the web interface's Add Printer page), which assert on
// it and abort the whole server. These definitions stand in front of the
// library's (the program's own symbols come first for every shared object):
// a null client makes them fail as they do for any other error, which PAPPL
// handles; otherwise they pass the call on.
#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <dlfcn.h>

namespace {

template <typename F>
F Next(const char* name) {
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

AvahiServiceBrowser* avahi_service_browser_new(AvahiClient* client, AvahiIfIndex interface, AvahiProtocol protocol,
                                               const char* type, const char* domain, AvahiLookupFlags flags,
                                               AvahiServiceBrowserCallback callback, void* userdata) {
    using Fn = AvahiServiceBrowser* (*)(AvahiClient*, AvahiIfIndex, AvahiProtocol, const char*, const char*,
                                        AvahiLookupFlags, AvahiServiceBrowserCallback, void*);
    static const Fn next = Next<Fn>("avahi_service_browser_new");
    if (!client || !next) return nullptr;
    return next(client, interface, protocol, type, domain, flags, callback, userdata);
}

AvahiServiceResolver* avahi_service_resolver_new(AvahiClient* client, AvahiIfIndex interface, AvahiProtocol protocol,
                                                 const char* name, const char* type, const char* domain,
                                                 AvahiProtocol aprotocol, AvahiLookupFlags flags,
                                                 AvahiServiceResolverCallback callback, void* userdata) {
    using Fn = AvahiServiceResolver* (*)(AvahiClient*, AvahiIfIndex, AvahiProtocol, const char*, const char*,
                                         const char*, AvahiProtocol, AvahiLookupFlags, AvahiServiceResolverCallback,
                                         void*);
    static const Fn next = Next<Fn>("avahi_service_resolver_new");
    if (!client || !next) return nullptr;
    return next(client, interface, protocol, name, type, domain, aprotocol, flags, callback, userdata);
}

AvahiRecordBrowser* avahi_record_browser_new(AvahiClient* client, AvahiIfIndex interface, AvahiProtocol protocol,
                                             const char* name, uint16_t clazz, uint16_t type, AvahiLookupFlags flags,
                                             AvahiRecordBrowserCallback callback, void* userdata) {
    using Fn = AvahiRecordBrowser* (*)(AvahiClient*, AvahiIfIndex, AvahiProtocol, const char*, uint16_t, uint16_t,
                                       AvahiLookupFlags, AvahiRecordBrowserCallback, void*);
    static const Fn next = Next<Fn>("avahi_record_browser_new");
    if (!client || !next) return nullptr;
    return next(client, interface, protocol, name, clazz, type, flags, callback, userdata);
}

AvahiEntryGroup* avahi_entry_group_new(AvahiClient* client, AvahiEntryGroupCallback callback, void* userdata) {
    using Fn = AvahiEntryGroup* (*)(AvahiClient*, AvahiEntryGroupCallback, void*);
    static const Fn next = Next<Fn>("avahi_entry_group_new");
    if (!client || !next) return nullptr;
    return next(client, callback, userdata);
}

}  // extern "C"
