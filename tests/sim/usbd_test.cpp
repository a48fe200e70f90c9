// USBD parsing and select-configuration requests. Each set fills its own heap block, so ASan reports overreads.
#include "test_stack.h"

#include <usbdlib.h>

#include <cstring>
#include <memory>
#include <optional>

using namespace simtest;

namespace {

class UsbdTest : public ModelTest {};

struct FreeUrb { void operator()(PURB urb) const { ExFreePool(urb); } };
using UrbPtr = std::unique_ptr<URB, FreeUrb>;

// Descriptor bytes from a configuration descriptor on; wTotalLength is written when a Set is made from them.
struct Bytes {
    std::vector<UCHAR> v = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 2, 1, 0, 0x80, 50};
    Bytes& Raw(std::initializer_list<UCHAR> b) { v.insert(v.end(), b); return *this; }
    Bytes& Interface(UCHAR number, UCHAR alt, UCHAR endpoints, UCHAR cls = 0xFF, UCHAR sub = 0, UCHAR proto = 0) {
        Raw({9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alt, endpoints, cls, sub, proto, 0});
        for (UCHAR e = 0; e < endpoints; ++e) Raw({7, USB_ENDPOINT_DESCRIPTOR_TYPE, UCHAR(0x81 + e), 2, 64, 0, 1});
        return *this;
    }
};

// Interface 0, alternate settings 0 and 1 (2 and 4 endpoints), and interface 1 (a mouse), with class descriptors.
constexpr size_t kIf0Alt0 = 9, kIf0Alt1 = 32, kIf1 = 74;
Bytes Firmware() {
    return Bytes().Interface(0, 0, 2).Interface(0, 1, 4, 0xFF, 1, 2).Raw({5, 0x24, 1, 2, 3})
        .Interface(1, 0, 1, 3, 1, 2).Raw({9, 0x21, 0x11, 0x01, 0, 1, 0x22, 0x40, 0});
}

// A set as a caller hands it over: the first `total` bytes (0: all) in a block of that size, and as wTotalLength.
struct Set {
    explicit Set(const Bytes& b, size_t total = 0) : bytes(b.v.begin(), b.v.begin() + (total ? total : b.v.size())) {
        bytes[2] = static_cast<UCHAR>(bytes.size()), bytes[3] = static_cast<UCHAR>(bytes.size() >> 8);
    }
    PUCHAR at(size_t offset) const { return const_cast<PUCHAR>(bytes.data()) + offset; }
    PUSB_CONFIGURATION_DESCRIPTOR config() const { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(at(0)); }
    PUSB_INTERFACE_DESCRIPTOR iface(size_t off) const { return reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(at(off)); }
    std::vector<UCHAR> bytes;
};

// Offsets `find(start)` returns, each search `step` bytes into the last result (0: past it); all inside the set.
template <typename Find>
std::vector<size_t> Collect(const Set& s, Find find, size_t step = 0) {
    std::vector<size_t> found;
    for (auto d = find(s.config()); d != nullptr && found.size() <= s.bytes.size();) {
        found.push_back(static_cast<size_t>(PUCHAR(d) - s.at(0)));
        EXPECT_LE(found.back() + d->bLength, s.bytes.size());
        d = find(PUCHAR(d) + (step != 0 ? step : d->bLength));
    }
    EXPECT_LE(found.size(), s.bytes.size()) << "the search does not advance";
    return found;
}

std::vector<size_t> Walk(const Set& s, LONG number = -1, LONG alt = -1, LONG cls = -1, LONG sub = -1, LONG proto = -1) {
    return Collect(s, [&](PVOID start) {
        auto d = USBD_ParseConfigurationDescriptorEx(s.config(), start, number, alt, cls, sub, proto);
        EXPECT_TRUE(!d || (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE && d->bLength >= 9));
        return d;
    });
}

size_t CountOfType(const Set& s, LONG type) {
    auto find = [&](PVOID start) { return USBD_ParseDescriptors(s.config(), ULONG(s.bytes.size()), start, type); };
    return Collect(s, find, 1).size();
}

PURB RequestFor(PUSB_CONFIGURATION_DESCRIPTOR config, PUSB_INTERFACE_DESCRIPTOR d) {
    USBD_INTERFACE_LIST_ENTRY list[] = {{d, nullptr}, {nullptr, nullptr}};
    return USBD_CreateConfigurationRequestEx(config, list);
}

// Walks the set; requests for all interfaces found and, by the deprecated builder, the first have the documented size.
std::vector<size_t> WalkAndBuild(const Set& s) {
    std::vector<size_t> found = Walk(s);
    std::vector<USBD_INTERFACE_LIST_ENTRY> list(found.size() + 1);
    size_t pipes = 0;
    for (size_t i = 0; i < found.size(); ++i) pipes += (list[i].InterfaceDescriptor = s.iface(found[i]))->bNumEndpoints;
    UrbPtr all(USBD_CreateConfigurationRequestEx(s.config(), list.data()));
    USHORT siz = 1;
    UrbPtr first(USBD_CreateConfigurationRequest(s.config(), &siz));
    EXPECT_EQ(found.empty() ? 0 : GET_SELECT_CONFIGURATION_REQUEST_SIZE(1, s.iface(found[0])->bNumEndpoints), siz);
    EXPECT_TRUE(found.empty() == !all && found.empty() == !first);
    if (!all || !first) return found;
    EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(found.size(), pipes), all->UrbHeader.Length);
    EXPECT_EQ(siz, first->UrbHeader.Length);
    EXPECT_EQ(s.iface(found[0])->bInterfaceNumber, first->UrbSelectConfiguration.Interface.InterfaceNumber);
    return found;
}

// Repeated searches visit every interface matching all criteria but -1, in order. A search starts at StartPosition but
// walks from the buffer (`f` hides a fake interface 7 at 11); ParseDescriptors stops at the length it is given.
TEST_F(UsbdTest, SearchesVisitEveryMatchingInterfaceInOrder) {
    Set s(Firmware()), f(Bytes().Raw({12, 0x24, 9, 4, 7, 0, 0, 0xFF, 0, 0, 0, 0}).Interface(0, 0, 0));
    struct Case { LONG number, alt, cls, sub, proto; std::vector<size_t> found; };
    const Case cases[] = {
        {-1, -1, -1, -1, -1, {kIf0Alt0, kIf0Alt1, kIf1}}, {0, -1, -1, -1, -1, {kIf0Alt0, kIf0Alt1}},
        {-1, 0, -1, -1, -1, {kIf0Alt0, kIf1}}, {0, 1, -1, -1, -1, {kIf0Alt1}}, {-1, -1, 3, -1, -1, {kIf1}},
        {-1, -1, 0xFF, 1, 2, {kIf0Alt1}},      {-1, 0, 3, 1, 2, {kIf1}},      {-1, -1, 0xFF, 1, 3, {}},
        {0, 1, 0xFF, 0, -1, {}},               {2, -1, -1, -1, -1, {}},       {-1, 2, -1, -1, -1, {}},
        {256, -1, -1, -1, -1, {}},             {1, 0, 3, 1, 1, {}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.found, Walk(s, c.number, c.alt, c.cls, c.sub, c.proto)) << c.number << " " << c.alt << " " << c.cls
                                                                           << " " << c.sub << " " << c.proto;
    EXPECT_EQ(s.iface(kIf0Alt1), USBD_ParseConfigurationDescriptor(s.config(), 0, 1));
    const std::pair<LONG, size_t> counts[] = {{4, 3}, {5, 7}, {0x24, 1}, {0x21, 1}, {2, 1}, {3, 0}};
    for (auto [type, n] : counts) EXPECT_EQ(n, CountOfType(s, type)) << "type " << type;
    auto find = [&](PVOID p, LONG n) { return USBD_ParseConfigurationDescriptorEx(f.config(), p, n, -1, -1, -1, -1); };
    EXPECT_EQ(nullptr, find(f.at(11), 7));
    for (PVOID p : {PVOID(f.at(11)), PVOID(f.at(21)), PVOID(nullptr)}) EXPECT_EQ(f.iface(21), find(p, -1));
    EXPECT_EQ(nullptr, find(f.at(22), -1));
    EXPECT_EQ(nullptr, USBD_ParseDescriptors(f.config(), 29, f.config(), USB_INTERFACE_DESCRIPTOR_TYPE));
    EXPECT_EQ(f.at(21), PVOID(USBD_ParseDescriptors(f.config(), 30, f.config(), USB_INTERFACE_DESCRIPTOR_TYPE)));
}

// A zeroed URB of USBD-tagged pool and documented size: records back to back, pipes with only the default transfer
// size. The list is written only on success, and its terminator never.
TEST_F(UsbdTest, RequestIsZeroedThenFilledFromTheGivenDescriptors) {
    Set s(Firmware());
    auto mark = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(s.at(1));  // no record's address
    USBD_INTERFACE_LIST_ENTRY list[] = {{s.iface(kIf0Alt1), mark}, {s.iface(kIf1), mark}, {nullptr, mark}};
    sim::faults::FailKind(sim::FaultKind::Usbd, 1);
    EXPECT_EQ(nullptr, USBD_CreateConfigurationRequestEx(s.config(), list));
    EXPECT_EQ(mark, list[0].Interface);
    UrbPtr urb(USBD_CreateConfigurationRequestEx(s.config(), list));
    ASSERT_NE(nullptr, urb);
    _URB_SELECT_CONFIGURATION& sc = urb->UrbSelectConfiguration;
    EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(2, 5), sc.Hdr.Length);
    EXPECT_EQ(sim::LivePoolBytesWithTag(0x44425355 /* "USBD" */), sc.Hdr.Length);
    EXPECT_EQ(URB_FUNCTION_SELECT_CONFIGURATION, sc.Hdr.Function);
    EXPECT_TRUE(sc.Hdr.Status == 0 && sc.Hdr.UsbdDeviceHandle == nullptr && sc.Hdr.UsbdFlags == 0);
    EXPECT_TRUE(sc.ConfigurationDescriptor == s.config() && sc.ConfigurationHandle == nullptr);
    auto end = [](const USBD_INTERFACE_INFORMATION* r) { return reinterpret_cast<const UCHAR*>(r) + r->Length; };
    EXPECT_EQ(end(list[0].Interface), reinterpret_cast<PUCHAR>(list[1].Interface));
    EXPECT_EQ(reinterpret_cast<PUCHAR>(urb.get()) + sc.Hdr.Length, end(list[1].Interface));
    EXPECT_EQ(mark, list[2].Interface);
    USBD_PIPE_INFORMATION pipe;
    std::memset(&pipe, 0, sizeof pipe);
    pipe.MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    const std::vector<int> want[] = {{0, 1, 0xFF, 1, 2, 4}, {1, 0, 3, 1, 2, 1}};  // number ... protocol, pipes
    for (int i = 0; i < 2; ++i) {
        const USBD_INTERFACE_INFORMATION* r = list[i].Interface;
        EXPECT_EQ(GET_USBD_INTERFACE_SIZE(want[i][5]), r->Length);
        EXPECT_EQ(want[i], (std::vector<int>{r->InterfaceNumber, r->AlternateSetting, r->Class, r->SubClass,
                                             r->Protocol, int(r->NumberOfPipes)}));
        for (ULONG p = 0; p < r->NumberOfPipes; ++p) EXPECT_EQ(0, std::memcmp(&pipe, &r->Pipes[0] + p, sizeof pipe));
    }
}

// Unusable requests allocate nothing; one beyond the 16-bit Hdr.Length has interfaces of 255 (absent) endpoints.
TEST_F(UsbdTest, UnusableRequestsAllocateNothing) {
    Set s(Firmware()), cut(Firmware(), kIf1 + 5), bare{Bytes()};
    USB_INTERFACE_DESCRIPTOR copy = *s.iface(kIf0Alt0);
    size_t fit = 1;
    while (GET_SELECT_CONFIGURATION_REQUEST_SIZE(fit + 1, (fit + 1) * 255) <= 0xFFFF) ++fit;
    Bytes b;
    for (size_t i = 0; i <= fit; ++i) b.Raw({9, USB_INTERFACE_DESCRIPTOR_TYPE, UCHAR(i), 0, 255, 0xFF, 0, 0, 0});
    Set many(b);
    std::vector<USBD_INTERFACE_LIST_ENTRY> list(fit + 2);
    for (size_t i = 0; i <= fit; ++i) list[i].InterfaceDescriptor = many.iface(9 + 9 * i);
    const std::pair<const char*, std::function<PURB()>> cases[] = {
        {"no configuration", [&] { return RequestFor(nullptr, s.iface(kIf1)); }},
        {"no list", [&] { return USBD_CreateConfigurationRequestEx(s.config(), nullptr); }},
        {"empty list", [&] { return RequestFor(s.config(), nullptr); }},
        {"copy outside the set", [&] { return RequestFor(s.config(), &copy); }},
        {"inside a descriptor", [&] { return RequestFor(s.config(), s.iface(kIf0Alt0 + 2)); }},
        {"an endpoint", [&] { return RequestFor(s.config(), s.iface(kIf0Alt0 + 9)); }},
        {"cut by wTotalLength", [&] { return RequestFor(cut.config(), cut.iface(kIf1)); }},
        {"beyond Hdr.Length", [&] { return USBD_CreateConfigurationRequestEx(many.config(), list.data()); }},
    };
    for (const auto& [name, call] : cases) EXPECT_EQ(nullptr, UrbPtr(call())) << name;
    for (PUSB_CONFIGURATION_DESCRIPTOR config : {bare.config(), PUSB_CONFIGURATION_DESCRIPTOR{}}) {
        USHORT siz = 1;
        EXPECT_EQ(nullptr, UrbPtr(USBD_CreateConfigurationRequest(config, &siz)));
        EXPECT_EQ(0, siz);
    }
    EXPECT_EQ(0u, sim::faults::CallCount());
    list[fit] = {nullptr, nullptr};
    UrbPtr urb(USBD_CreateConfigurationRequestEx(many.config(), list.data()));
    EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(fit, fit * 255), urb ? urb->UrbHeader.Length : 0);
}

// Each call is its caller's fault site, so a sweep can fail one call of the driver and not another.
TEST_F(UsbdTest, FailedAllocationReturnsNullAtTheCallersSite) {
    Set s(Firmware());
    USBD_INTERFACE_LIST_ENTRY list[] = {{s.iface(kIf0Alt0), nullptr}, {}};
    USHORT siz = 1;
    std::vector<UrbPtr> urbs;
    sim::faults::FailKind(sim::FaultKind::Usbd);  // every call fails, then only those from the last call's site
    for (int round = 0; round < 2; ++round) {
        urbs.emplace_back(USBD_CreateConfigurationRequestEx(s.config(), list));
        urbs.emplace_back(USBD_CreateConfigurationRequest(s.config(), &siz));
        urbs.emplace_back(USBD_CreateConfigurationRequest(s.config(), &siz));
        EXPECT_EQ(0, siz);
        EXPECT_EQ(3u, sim::faults::Sites().size());  // a library-internal site would merge the deprecated calls
        const void* last = sim::faults::Sites().back().site;
        sim::faults::Clear();
        sim::faults::FailSite(last);
    }
    EXPECT_TRUE(!urbs[0] && !urbs[1] && !urbs[2] && urbs[3] && urbs[4] && !urbs[5]);
}

// Malformed sets end the walk inside the set: `found` is what searches return and builders accept; `refused` is not.
TEST_F(UsbdTest, MalformedSetsEndTheWalkInsideTheSet) {
    struct Case { const char* name; Bytes bytes; int total; std::optional<size_t> refused; std::vector<size_t> found; };
    const Case cases[] = {
        {"bLength 0", Bytes().Interface(0, 0, 0).Raw({0, 5, 0x81, 2}).Interface(1, 0, 0), 0, 22, {9}},
        {"bLength 1", Bytes().Interface(0, 0, 0).Raw({1}).Interface(1, 0, 0), 0, 19, {9}},
        {"past the end", Bytes().Interface(0, 0, 0).Raw({20, 5, 0x81, 2, 64, 0, 0}).Interface(1, 0, 0), 0, 25, {9}},
        {"cut interface", Bytes().Interface(0, 0, 0).Interface(1, 0, 2), 23, 18, {9}},
        {"short interface", Bytes().Raw({5, 4, 0, 0, 1}).Interface(1, 0, 0), 0, 9, {14}},
        {"long interface", Bytes().Raw({12, 4, 0, 0, 0, 0xFF, 0, 0, 0, 9, 4, 1}).Interface(1, 0, 0), 0, {}, {9, 21}},
        {"association first", Bytes().Raw({8, 0x0B, 5, 2, 0xFF, 0, 0, 0}).Interface(5, 0, 3), 0, {}, {17}},
        {"header only", Bytes(), 4, {}, {}},
        {"absent endpoints", Bytes().Raw({9, 4, 0, 0, 30, 0xFF, 0, 0, 0}), 0, {}, {9}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Set s(c.bytes, c.total);
        EXPECT_EQ(c.found, WalkAndBuild(s));
        EXPECT_TRUE(!c.refused || !UrbPtr(RequestFor(s.config(), s.iface(*c.refused))));
    }
}

// Plausible-looking descriptors with arbitrary lengths and contents; AddressSanitizer fails any access outside the set.
TEST_F(UsbdTest, ArbitraryBytesNeverLeaveTheSet) {
    uint32_t seed = 12345;
    auto next = [&seed](uint32_t n) { return ((seed = seed * 1103515245u + 12345u) >> 16 & 0x7FFFu) % n; };
    const UCHAR types[] = {2, 4, 4, 5, 0x24, 0x0B, 0xFF};
    for (int round = 0; round < 3000; ++round) {
        SCOPED_TRACE(round);
        Bytes b;
        while (b.v.size() < 80) {
            const UCHAR len = static_cast<UCHAR>(next(14));
            b.Raw({len, types[next(sizeof(types))]});
            for (int i = 2; i < len; ++i) b.Raw({static_cast<UCHAR>(i == 4 ? next(40) : next(256))});
        }
        Set s(b, 4 + next(77));
        WalkAndBuild(s);
        for (LONG type : {1, 2, 4, 5, 0x24}) CountOfType(s, type);
    }
}

}  // namespace
