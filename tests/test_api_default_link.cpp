// The default link without the vendor library: libftdi1 when the library has it, for the
// compatibility class and the typed API alike; the vendor library's reason otherwise.
#include <gtest/gtest.h>

#include "KAVRO_USB_DLL.h"
#include "kavro/kavro.h"

namespace {

TEST(NoVendor, TheDefaultLinkFallsBackToLibftdiAndCopiesOfAnInstanceShareIt) {
  ASSERT_FALSE(kavro::VendorLink().Available());
  const bool libftdi = kavro::LibftdiLinkAvailable();
  KAVRO_USB_DLL dll;
  kavro::LinkProvider& link = dll.CurrentLink();
  EXPECT_EQ(link.Name(), libftdi ? "libftdi1" : "vendor D2XX library");
  {
    KAVRO_USB_DLL copy = dll, assigned;
    assigned = copy;
    EXPECT_EQ(&assigned.CurrentLink(), &link);
  }  // the copies go first: the provider stays for dll
  dll.UseLink(&kavro::VendorLink());
  dll.UseLink(nullptr);
  EXPECT_EQ(&dll.CurrentLink(), &link);
  EXPECT_EQ(kavro::Board::Open("KV0001").error().kind,
            libftdi ? kavro::ErrorKind::kNotFound : kavro::ErrorKind::kLinkUnavailable);

  kavro::OpenOptions vendor;
  vendor.link = &kavro::VendorLink();
  const kavro::Error e = kavro::Board::Open("KV0001", vendor).error();
  EXPECT_EQ(e.kind, kavro::ErrorKind::kLinkUnavailable);
  EXPECT_EQ(e.status, 18u);
  EXPECT_NE(e.hint.find("tried libftd2xx.so"), std::string::npos) << e.hint;
  EXPECT_NE(e.hint.find("; install FTDI's D2XX library, or use the libftdi1 link"),
            std::string::npos);
}

}  // namespace
