#include "serial/port_list.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>


namespace quillon {
namespace {


// Canned instance ids as SetupAPI gives them for the ports class.
TEST(UsbInstanceIdTest, IdsAndSerialNumberFromWhatWindowsSays) {
  auto ids = ParseUsbInstanceId("USB\\VID_0403&PID_6001\\A600XYZ");
  ASSERT_TRUE(ids);
  EXPECT_EQ(ids->vid, "0403");
  EXPECT_EQ(ids->pid, "6001");
  EXPECT_EQ(ids->serial, "A600XYZ");
  ids = ParseUsbInstanceId("FTDIBUS\\VID_0403+PID_6015+DK0AB12CA\\0000");
  ASSERT_TRUE(ids);
  EXPECT_EQ(ids->pid, "6015");
  EXPECT_EQ(ids->serial, "DK0AB12CA");
  ids = ParseUsbInstanceId("USB\\VID_10C4&PID_EA60\\0001");
  ASSERT_TRUE(ids);
  EXPECT_EQ(ids->vid, "10c4");
  EXPECT_EQ(ids->pid, "ea60");
  // An instance part the system made up is no serial number.
  ids = ParseUsbInstanceId("USB\\VID_2341&PID_0043&MI_00\\6&2A4F2B5&0&0000");
  ASSERT_TRUE(ids);
  EXPECT_FALSE(ids->serial);
  EXPECT_FALSE(ParseUsbInstanceId("ACPI\\PNP0501\\1"));
  EXPECT_FALSE(ParseUsbInstanceId("USB\\VID_04&PID_6001\\X"));
  EXPECT_FALSE(ParseUsbInstanceId("garbage"));
}


}  // namespace
}  // namespace quillon
