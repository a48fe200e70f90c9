// What Windows' USBD library does: descriptor parsing and select-configuration requests. Every
// set lives in a heap block of exactly wTotalLength bytes, so AddressSanitizer reports any read
// past it; every URB is freed with ExFreePool before the fixture's leak check.
#include "test_stack.h"

#include <usbdlib.h>

#include <cstring>
#include <memory>
#include <optional>
#include <set>

using namespace simtest;

namespace {

class UsbdTest : public ModelTest {};

struct FreeUrb {
    void operator()(PURB urb) const { ExFreePool(urb); }
};
using UrbPtr = std::unique_ptr<URB, FreeUrb>;

// Descriptor bytes; wTotalLength is written when a Set is made from them.
struct Bytes {
    std::vector<UCHAR> v;
    Bytes& Raw(std::initializer_list<UCHAR> b) {
        v.insert(v.end(), b);
        return *this;
    }
    Bytes& Config() { return Raw({9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 2, 1, 0, 0x80, 50}); }
    Bytes& Interface(UCHAR number, UCHAR alt, UCHAR endpoints, UCHAR cls = 0xFF, UCHAR sub = 0, UCHAR proto = 0) {
        return Raw({9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alt, endpoints, cls, sub, proto, 0});
    }
    Bytes& Endpoint(UCHAR address, UCHAR attributes) {
        return Raw({7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, attributes, 64, 0, 1});
    }
};

// Interface 0 with alternate settings 0 (2 endpoints) and 1 (4), interface 1 (a boot mouse,
// 1 endpoint), with class-specific descriptors between them.
constexpr size_t kIf0Alt0 = 9, kIf0Alt1 = 32, kIf1 = 74;
Bytes Firmware() {
    Bytes b;
    b.Config().Interface(0, 0, 2).Endpoint(0x81, 2).Endpoint(0x02, 2);
    b.Interface(0, 1, 4, 0xFF, 1, 2).Raw({5, 0x24, 1, 2, 3});
    b.Endpoint(0x81, 2).Endpoint(0x02, 2).Endpoint(0x83, 3).Endpoint(0x84, 1);
    b.Interface(1, 0, 1, 3, 1, 2).Raw({9, 0x21, 0x11, 0x01, 0, 1, 0x22, 0x40, 0}).Endpoint(0x85, 3);
    return b;
}

// A set as a caller hands it over: `total` bytes (default: all of them), wTotalLength = total.
class Set {
public:
    explicit Set(const Bytes& b, std::optional<size_t> total = {})
        : size_(total.value_or(b.v.size())), block_(new UCHAR[size_]) {
        std::memcpy(block_.get(), b.v.data(), size_);
        block_[2] = static_cast<UCHAR>(size_ & 0xFF);
        block_[3] = static_cast<UCHAR>(size_ >> 8);
    }
    PUSB_CONFIGURATION_DESCRIPTOR config() const { return reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(at(0)); }
    PUCHAR at(size_t offset) const { return block_.get() + offset; }
    PUSB_INTERFACE_DESCRIPTOR iface(size_t offset) const {
        return reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(at(offset));
    }
    size_t size() const { return size_; }
    size_t OffsetOf(const void* p) const { return static_cast<size_t>(static_cast<const UCHAR*>(p) - at(0)); }

private:
    size_t size_;
    std::unique_ptr<UCHAR[]> block_;
};

// Offsets of the interface descriptors the parser finds, walking as drivers do: each search
// starts just after the previous result. Checks every result lies wholly inside the set.
std::vector<size_t> Walk(const Set& s, LONG number = -1, LONG alt = -1, LONG cls = -1) {
    std::vector<size_t> found;
    PVOID start = s.config();
    while (auto d = USBD_ParseConfigurationDescriptorEx(s.config(), start, number, alt, cls, -1, -1)) {
        EXPECT_EQ(USB_INTERFACE_DESCRIPTOR_TYPE, d->bDescriptorType);
        EXPECT_GE(d->bLength, sizeof(USB_INTERFACE_DESCRIPTOR));
        EXPECT_LE(s.OffsetOf(d) + d->bLength, s.size());
        found.push_back(s.OffsetOf(d));
        if (found.size() > s.size()) {
            ADD_FAILURE() << "the search does not advance";
            break;
        }
        start = reinterpret_cast<PUCHAR>(d) + d->bLength;
    }
    return found;
}

size_t CountOfType(const Set& s, LONG type) {
    size_t n = 0;
    PVOID start = s.config();
    while (auto d = USBD_ParseDescriptors(s.config(), static_cast<ULONG>(s.size()), start, type)) {
        EXPECT_LE(s.OffsetOf(d) + d->bLength, s.size());
        start = reinterpret_cast<PUCHAR>(d) + 1;
        if (++n > s.size()) break;
    }
    return n;
}

// The documented size for these records, from the platform's macro (I interfaces, P pipes).
size_t DocumentedSize(const std::vector<UCHAR>& endpoints) {
    size_t pipes = 0;
    for (UCHAR n : endpoints) pipes += n;
    return GET_SELECT_CONFIGURATION_REQUEST_SIZE(endpoints.size(), pipes);
}

// The request for one interface descriptor.
PURB RequestFor(PUSB_CONFIGURATION_DESCRIPTOR config, PUSB_INTERFACE_DESCRIPTOR d) {
    USBD_INTERFACE_LIST_ENTRY list[] = {{d, nullptr}, {nullptr, nullptr}};
    return USBD_CreateConfigurationRequestEx(config, list);
}

TEST_F(UsbdTest, RepeatedSearchesVisitEveryAlternateSettingInOrder) {
    Set s(Firmware());
    EXPECT_EQ((std::vector<size_t>{kIf0Alt0, kIf0Alt1, kIf1}), Walk(s));
    EXPECT_EQ((std::vector<size_t>{kIf0Alt0, kIf0Alt1}), Walk(s, 0));
    EXPECT_EQ((std::vector<size_t>{kIf0Alt0, kIf1}), Walk(s, -1, 0));
    EXPECT_EQ(3u, CountOfType(s, USB_INTERFACE_DESCRIPTOR_TYPE));
    EXPECT_EQ(7u, CountOfType(s, USB_ENDPOINT_DESCRIPTOR_TYPE));
    EXPECT_EQ(1u, CountOfType(s, 0x24));
    EXPECT_EQ(1u, CountOfType(s, 0x21));
    EXPECT_EQ(1u, CountOfType(s, USB_CONFIGURATION_DESCRIPTOR_TYPE));
    EXPECT_EQ(0u, CountOfType(s, USB_STRING_DESCRIPTOR_TYPE));
}

TEST_F(UsbdTest, EveryCriterionButMinusOneMustMatch) {
    Set s(Firmware());
    struct Case {
        LONG number, alt, cls, sub, proto;
        std::optional<size_t> found;
    };
    const Case cases[] = {
        {-1, -1, -1, -1, -1, kIf0Alt0}, {0, 1, -1, -1, -1, kIf0Alt1},   {1, -1, -1, -1, -1, kIf1},
        {-1, -1, 3, -1, -1, kIf1},      {-1, -1, 0xFF, 1, 2, kIf0Alt1}, {-1, 0, 3, 1, 2, kIf1},
        {-1, -1, 0xFF, 1, 3, {}},       {0, 1, 0xFF, 0, -1, {}},        {2, -1, -1, -1, -1, {}},
        {-1, 2, -1, -1, -1, {}},        {256, -1, -1, -1, -1, {}},      {1, 0, 3, 1, 1, {}},
    };
    for (const Case& c : cases) {
        PUSB_INTERFACE_DESCRIPTOR d =
            USBD_ParseConfigurationDescriptorEx(s.config(), s.config(), c.number, c.alt, c.cls, c.sub, c.proto);
        SCOPED_TRACE(testing::Message() << c.number << "/" << c.alt << "/" << c.cls << "/" << c.sub << "/"
                                        << c.proto);
        if (c.found) {
            EXPECT_EQ(s.iface(*c.found), d);
        } else {
            EXPECT_EQ(nullptr, d);
        }
    }
    // The classic routine searches the whole set by number and alternate setting.
    EXPECT_EQ(s.iface(kIf0Alt0), USBD_ParseConfigurationDescriptor(s.config(), 0, 0));
    EXPECT_EQ(s.iface(kIf0Alt1), USBD_ParseConfigurationDescriptor(s.config(), 0, 1));
    EXPECT_EQ(s.iface(kIf1), USBD_ParseConfigurationDescriptor(s.config(), 1, 0));
    EXPECT_EQ(nullptr, USBD_ParseConfigurationDescriptor(s.config(), 1, 1));
}

TEST_F(UsbdTest, SearchStartsAtStartPositionButWalksFromTheBuffer) {
    // A class-specific descriptor whose payload looks like interface 7 from its third byte on.
    Bytes b;
    b.Config().Raw({12, 0x24, 9, 4, 7, 0, 0, 0xFF, 0, 0, 0, 0}).Interface(0, 0, 0);
    Set s(b);
    PUCHAR fake = s.at(11);
    EXPECT_EQ(nullptr, USBD_ParseConfigurationDescriptorEx(s.config(), fake, 7, -1, -1, -1, -1));
    EXPECT_EQ(s.iface(21), USBD_ParseConfigurationDescriptorEx(s.config(), fake, -1, -1, -1, -1, -1));
    EXPECT_EQ(s.iface(21), USBD_ParseConfigurationDescriptorEx(s.config(), s.at(21), -1, -1, -1, -1, -1));
    EXPECT_EQ(s.iface(21), USBD_ParseConfigurationDescriptorEx(s.config(), nullptr, -1, -1, -1, -1, -1));
    EXPECT_EQ(nullptr, USBD_ParseConfigurationDescriptorEx(s.config(), s.at(22), -1, -1, -1, -1, -1));
    // USBD_ParseDescriptors is bounded by the length it is given, not by wTotalLength.
    auto total = [&](ULONG len) {
        return USBD_ParseDescriptors(s.config(), len, s.config(), USB_INTERFACE_DESCRIPTOR_TYPE);
    };
    EXPECT_EQ(nullptr, total(29));
    EXPECT_EQ(s.at(21), reinterpret_cast<PUCHAR>(total(30)));
    EXPECT_EQ(nullptr, USBD_ParseDescriptors(nullptr, 30, nullptr, USB_INTERFACE_DESCRIPTOR_TYPE));
    EXPECT_EQ(nullptr, USBD_ParseConfigurationDescriptorEx(nullptr, nullptr, -1, -1, -1, -1, -1));
}

TEST_F(UsbdTest, RequestSizesFollowTheDocumentedFormula) {
    struct Case {
        std::vector<UCHAR> endpoints;  // per interface
        size_t i686;
    };
    const Case cases[] = {{{2}, 80},      {{3}, 100},     {{1}, 60},         {{0}, 40},
                          {{2, 1}, 116}, {{0, 0}, 56}, {{4, 0, 1}, 172}};
    for (const Case& c : cases) {
        Bytes b;
        b.Config();
        for (size_t i = 0; i < c.endpoints.size(); ++i) {
            b.Interface(static_cast<UCHAR>(i), 0, c.endpoints[i]);
            for (UCHAR e = 0; e < c.endpoints[i]; ++e) b.Endpoint(static_cast<UCHAR>(0x81 + e), 2);
        }
        Set s(b);
        std::vector<USBD_INTERFACE_LIST_ENTRY> list;
        for (size_t i = 0; i < c.endpoints.size(); ++i) {
            list.push_back({USBD_ParseConfigurationDescriptor(s.config(), static_cast<UCHAR>(i), 0), nullptr});
        }
        list.push_back({nullptr, nullptr});
        UrbPtr urb(USBD_CreateConfigurationRequestEx(s.config(), list.data()));
        ASSERT_NE(nullptr, urb);
        EXPECT_EQ(DocumentedSize(c.endpoints), urb->UrbHeader.Length);
#if defined(__i386__)
        EXPECT_EQ(c.i686, urb->UrbHeader.Length);
#endif
        EXPECT_EQ(sim::LivePoolBytesWithTag(0x44425355 /* "USBD" */), urb->UrbHeader.Length);
    }
}

TEST_F(UsbdTest, RequestIsZeroedThenFilledFromTheGivenDescriptors) {
    Set s(Firmware());
    int sentinel = 0;
    auto mark = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(&sentinel);
    USBD_INTERFACE_LIST_ENTRY list[] = {{s.iface(kIf0Alt1), nullptr}, {s.iface(kIf1), nullptr}, {nullptr, mark}};
    UrbPtr urb(USBD_CreateConfigurationRequestEx(s.config(), list));
    ASSERT_NE(nullptr, urb);
    const _URB_SELECT_CONFIGURATION& sc = urb->UrbSelectConfiguration;
    EXPECT_EQ(DocumentedSize({4, 1}), sc.Hdr.Length);
    EXPECT_EQ(URB_FUNCTION_SELECT_CONFIGURATION, sc.Hdr.Function);
    EXPECT_EQ(0, sc.Hdr.Status);
    EXPECT_EQ(nullptr, sc.Hdr.UsbdDeviceHandle);
    EXPECT_EQ(0u, sc.Hdr.UsbdFlags);
    EXPECT_EQ(s.config(), sc.ConfigurationDescriptor);
    EXPECT_EQ(nullptr, sc.ConfigurationHandle);
    // Records lie back to back inside the URB; the last one ends where the URB does.
    EXPECT_EQ(&urb->UrbSelectConfiguration.Interface, list[0].Interface);
    auto end = [](const USBD_INTERFACE_INFORMATION* r) { return reinterpret_cast<const UCHAR*>(r) + r->Length; };
    EXPECT_EQ(end(list[0].Interface), reinterpret_cast<PUCHAR>(list[1].Interface));
    EXPECT_EQ(reinterpret_cast<PUCHAR>(urb.get()) + sc.Hdr.Length, end(list[1].Interface));
    EXPECT_EQ(mark, list[2].Interface);  // the terminator is left alone
    struct Want {
        UCHAR number, alt, cls, sub, proto, pipes;
    };
    const Want want[] = {{0, 1, 0xFF, 1, 2, 4}, {1, 0, 3, 1, 2, 1}};
    for (int i = 0; i < 2; ++i) {
        const USBD_INTERFACE_INFORMATION* r = list[i].Interface;
        EXPECT_EQ(GET_USBD_INTERFACE_SIZE(want[i].pipes), r->Length);
        EXPECT_EQ(want[i].number, r->InterfaceNumber);
        EXPECT_EQ(want[i].alt, r->AlternateSetting);
        EXPECT_EQ(want[i].cls, r->Class);
        EXPECT_EQ(want[i].sub, r->SubClass);
        EXPECT_EQ(want[i].proto, r->Protocol);
        EXPECT_EQ(0, r->Reserved);
        EXPECT_EQ(nullptr, r->InterfaceHandle);
        EXPECT_EQ(want[i].pipes, r->NumberOfPipes);
        for (ULONG p = 0; p < r->NumberOfPipes; ++p) {
            const USBD_PIPE_INFORMATION& pipe = (&r->Pipes[0])[p];
            EXPECT_EQ(USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE, pipe.MaximumTransferSize);
            EXPECT_EQ(0u, pipe.PipeFlags);
            EXPECT_EQ(0, pipe.MaximumPacketSize);
            EXPECT_EQ(0, pipe.EndpointAddress);
            EXPECT_EQ(0, pipe.Interval);
            EXPECT_EQ(UsbdPipeTypeControl, pipe.PipeType);
            EXPECT_EQ(nullptr, pipe.PipeHandle);
        }
    }
}

TEST_F(UsbdTest, DeprecatedBuilderTakesTheFirstInterfaceDescriptor) {
    struct Case {
        Bytes bytes;
        UCHAR number, pipes;
    };
    const Case cases[] = {
        {Firmware(), 0, 2},
        {Bytes().Config().Raw({8, 0x0B, 5, 2, 0xFF, 0, 0, 0}).Interface(5, 0, 3).Interface(6, 0, 1), 5, 3},
        {Bytes().Config().Raw({5, 4, 0, 0, 1}).Interface(1, 0, 0), 1, 0},  // too short to be one
    };
    for (const Case& c : cases) {
        Set s(c.bytes);
        USHORT siz = 0;
        UrbPtr urb(USBD_CreateConfigurationRequest(s.config(), &siz));
        ASSERT_NE(nullptr, urb);
        EXPECT_EQ(siz, urb->UrbHeader.Length);
        EXPECT_EQ(DocumentedSize({c.pipes}), siz);
        EXPECT_EQ(c.number, urb->UrbSelectConfiguration.Interface.InterfaceNumber);
        EXPECT_EQ(0, urb->UrbSelectConfiguration.Interface.AlternateSetting);
        EXPECT_NE(nullptr, UrbPtr(USBD_CreateConfigurationRequest(s.config(), nullptr)));  // size not wanted
    }
#if defined(__i386__)
    USHORT siz = 0;
    UrbPtr urb(USBD_CreateConfigurationRequest(Set(Firmware()).config(), &siz));
    EXPECT_EQ(80, siz);
#endif
}

TEST_F(UsbdTest, UnusableRequestsAllocateNothing) {
    Set s(Firmware());
    Set cut(Firmware(), kIf1 + 5);
    USB_INTERFACE_DESCRIPTOR copy = *s.iface(kIf0Alt0);
    auto deprecated = [](PUSB_CONFIGURATION_DESCRIPTOR config) {
        USHORT siz = 1;
        PURB urb = USBD_CreateConfigurationRequest(config, &siz);
        EXPECT_EQ(0, siz);
        return urb;
    };
    const std::pair<const char*, std::function<PURB()>> cases[] = {
        {"no configuration", [&] { return RequestFor(nullptr, s.iface(kIf1)); }},
        {"no list", [&] { return USBD_CreateConfigurationRequestEx(s.config(), nullptr); }},
        {"empty list", [&] { return RequestFor(s.config(), nullptr); }},
        {"copy outside the set", [&] { return RequestFor(s.config(), &copy); }},
        {"inside a descriptor", [&] { return RequestFor(s.config(), s.iface(kIf0Alt0 + 2)); }},
        {"an endpoint", [&] { return RequestFor(s.config(), s.iface(kIf0Alt0 + 9)); }},
        {"cut by wTotalLength", [&] { return RequestFor(cut.config(), cut.iface(kIf1)); }},
        {"deprecated, no configuration", [&] { return deprecated(nullptr); }},
        {"deprecated, no interface", [&] { return deprecated(Set(Bytes().Config()).config()); }},
    };
    for (const auto& [name, call] : cases) {
        PURB urb = call();
        EXPECT_EQ(nullptr, urb) << name;
        if (urb != nullptr) ExFreePool(urb);
    }
    EXPECT_EQ(0u, sim::faults::CallCount());
}

TEST_F(UsbdTest, RequestLargerThanHdrLengthIsRefused) {
    // Interfaces claiming 255 endpoints each; endpoint descriptors are never read, so none exist.
    size_t fit = 1;
    while (DocumentedSize(std::vector<UCHAR>(fit + 1, 255)) <= 0xFFFF) ++fit;
#if defined(__i386__)
    EXPECT_EQ(12u, fit);
#endif
    Bytes b;
    b.Config();
    for (size_t i = 0; i <= fit; ++i) b.Interface(static_cast<UCHAR>(i), 0, 255);
    Set s(b);
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (size_t off : Walk(s)) list.push_back({s.iface(off), nullptr});
    list.push_back({nullptr, nullptr});
    EXPECT_EQ(nullptr, USBD_CreateConfigurationRequestEx(s.config(), list.data()));
    list[fit] = {nullptr, nullptr};
    UrbPtr urb(USBD_CreateConfigurationRequestEx(s.config(), list.data()));
    ASSERT_NE(nullptr, urb);
    EXPECT_EQ(DocumentedSize(std::vector<UCHAR>(fit, 255)), urb->UrbHeader.Length);
    EXPECT_EQ(255u, list[fit - 1].Interface->NumberOfPipes);
}

TEST_F(UsbdTest, FailedAllocationReturnsNullAndLeaksNothing) {
    Set s(Firmware());
    int sentinel = 0;
    auto mark = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(&sentinel);
    USBD_INTERFACE_LIST_ENTRY list[] = {{s.iface(kIf0Alt0), mark}, {}};
    USHORT siz = 1;
    sim::faults::FailKind(sim::FaultKind::Usbd, 1);
    EXPECT_EQ(nullptr, USBD_CreateConfigurationRequestEx(s.config(), list));
    EXPECT_EQ(mark, list[0].Interface);
    sim::faults::FailKind(sim::FaultKind::Usbd, 1);
    EXPECT_EQ(nullptr, USBD_CreateConfigurationRequest(s.config(), &siz));
    EXPECT_EQ(0, siz);
    EXPECT_EQ(2u, sim::faults::InjectedCount());
    EXPECT_EQ(0u, sim::LivePoolCount());
    // Each call is its caller's site, so a sweep can fail one call of the driver and not another.
    std::vector<UrbPtr> urbs;
    for (int round = 0; round < 2; ++round) {
        urbs.emplace_back(USBD_CreateConfigurationRequestEx(s.config(), list));
        urbs.emplace_back(USBD_CreateConfigurationRequest(s.config(), &siz));
        urbs.emplace_back(USBD_CreateConfigurationRequest(s.config(), &siz));
        if (round == 0) sim::faults::FailSite(sim::faults::Sites().back().site);
    }
    std::set<const void*> sites;
    for (const sim::FaultSite& f : sim::faults::Sites()) {
        if (f.kind == sim::FaultKind::Usbd) sites.insert(f.site);
    }
    EXPECT_EQ(5u, sites.size());  // a library-internal site would merge the deprecated calls
    EXPECT_NE(nullptr, urbs[3]);
    EXPECT_NE(nullptr, urbs[4]);
    EXPECT_EQ(nullptr, urbs[5]);
    EXPECT_EQ(0, siz);
}

TEST_F(UsbdTest, MalformedSetsEndTheWalkInsideTheSet) {
    struct Case {
        const char* name;
        Bytes bytes;
        std::optional<size_t> total;
        std::vector<size_t> found;     // interface descriptors the search returns
        std::optional<size_t> refused;  // a descriptor the builder must refuse
    };
    const Case cases[] = {
        {"bLength 0", Bytes().Config().Interface(0, 0, 1).Raw({0, 5, 0x81, 2, 64, 0, 0}).Interface(1, 0, 0), {}, {9},
         25},
        {"bLength 1", Bytes().Config().Interface(0, 0, 0).Raw({1}).Interface(1, 0, 0), {}, {9}, 19},
        {"past the end", Bytes().Config().Interface(0, 0, 1).Raw({20, 5, 0x81, 2, 64, 0, 0}).Interface(1, 0, 0), {},
         {9}, 25},
        {"cut interface", Bytes().Config().Interface(0, 0, 0).Interface(1, 0, 2), 23, {9}, 18},
        {"short interface", Bytes().Config().Raw({5, 4, 0, 0, 1}).Interface(1, 0, 0), {}, {14}, 9},
        {"long interface", Bytes().Config().Raw({12, 4, 0, 0, 0, 0xFF, 0, 0, 0, 9, 4, 1}).Interface(1, 0, 0), {},
         {9, 21}, {}},
        {"header only", Bytes().Config(), 4, {}, {}},
        {"zero endpoints", Bytes().Config().Interface(0, 0, 0), {}, {9}, {}},
        {"absent endpoints", Bytes().Config().Interface(0, 0, 30), {}, {9}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Set s(c.bytes, c.total);
        EXPECT_EQ(c.found, Walk(s));
        for (size_t off : c.found) {
            UrbPtr urb(RequestFor(s.config(), s.iface(off)));
            ASSERT_NE(nullptr, urb);
            EXPECT_EQ(DocumentedSize({s.iface(off)->bNumEndpoints}), urb->UrbHeader.Length);
        }
        if (c.refused) {
            EXPECT_EQ(nullptr, UrbPtr(RequestFor(s.config(), s.iface(*c.refused))));
        }
        USHORT siz = 0;
        UrbPtr urb(USBD_CreateConfigurationRequest(s.config(), &siz));
        EXPECT_EQ(c.found.empty(), urb == nullptr);
    }
}

TEST_F(UsbdTest, ArbitraryBytesNeverLeaveTheSet) {
    // Sets of plausible-looking descriptors with arbitrary lengths and contents; AddressSanitizer
    // fails the test on any access outside the block.
    uint32_t seed = 12345;
    auto next = [&seed](uint32_t n) { return ((seed = seed * 1103515245u + 12345u) >> 16 & 0x7FFFu) % n; };
    const UCHAR types[] = {2, 4, 4, 5, 0x24, 0x0B, 0xFF};
    for (int round = 0; round < 3000; ++round) {
        Bytes b;
        b.Config();
        while (b.v.size() < 80) {
            const UCHAR len = static_cast<UCHAR>(next(14));
            b.Raw({len, types[next(sizeof(types))]});
            for (int i = 2; i < len; ++i) b.Raw({static_cast<UCHAR>(i == 4 ? next(40) : next(256))});
        }
        Set s(b, 4 + next(77));
        std::vector<size_t> found = Walk(s);
        for (LONG type : {1, 2, 4, 5, 0x24}) CountOfType(s, type);
        std::vector<USBD_INTERFACE_LIST_ENTRY> list;
        size_t pipes = 0;
        for (size_t off : found) {
            list.push_back({s.iface(off), nullptr});
            pipes += s.iface(off)->bNumEndpoints;
        }
        list.push_back({nullptr, nullptr});
        UrbPtr all(USBD_CreateConfigurationRequestEx(s.config(), list.data()));
        ASSERT_EQ(found.empty(), all == nullptr) << "round " << round;
        if (all) {
            EXPECT_EQ(GET_SELECT_CONFIGURATION_REQUEST_SIZE(found.size(), pipes), all->UrbHeader.Length);
        }
        USHORT siz = 0;
        UrbPtr first(USBD_CreateConfigurationRequest(s.config(), &siz));
        ASSERT_EQ(found.empty(), first == nullptr) << "round " << round;
        if (first) {
            EXPECT_EQ(s.iface(found[0])->bInterfaceNumber,
                      first->UrbSelectConfiguration.Interface.InterfaceNumber);
        }
    }
}

}  // namespace
