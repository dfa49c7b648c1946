// An application outside the project, using the installed library in simulation mode.
#include <KAVRO_USB_DLL.h>

#include <cstdio>

int main() {
  KAVRO_USB_DLL dll;
  dll.SimulationMode = 1;
  dll.SimDecimalPoint = -3;
  char serial[] = "ANY";
  dll.Open_Device_Connection(serial);
  std::printf("Get_Decimal_Point=%s\n", dll.Get_Decimal_Point(dll.DeviceHandle, 0).c_str());
  return dll.DeviceHandle != nullptr ? 0 : 1;
}
