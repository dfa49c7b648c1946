// KAVRO_USB_DLL: host-side driver for the USB load-measuring sensor-interface board.
//
// An application creates a KAVRO_USB_DLL, opens a board by serial number and calls
// synchronous commands. Every command answers text: "0" for success, "Error" for failure
// (the reason is then in ErrorText) or the requested value. Methods without a result leave
// it in the public fields below. Nothing is ever thrown.
//
// The board is reached through an FTDI USB-serial bridge. Every D2XX call goes through the
// link wrapper KAVRO_FTD2XX, which hands it to a replaceable kavro::LinkProvider (declared in
// kavro/link.h): the vendor library loaded at run time, the libftdi1 provider, or the board
// emulator. By default the vendor library when it loads, else libftdi1 when the library was
// built with it.
#ifndef KAVRO_USB_DLL_H
#define KAVRO_USB_DLL_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kavro/export.h"
#include "kavro/link.h"
#include "kavro/protocol.h"

// The link block: the only code that calls D2XX. Each KAVRO_FT_ method makes one D2XX call
// with arguments taken from the fields below and stores the status in ftStatus; only the read
// returns something, the count of bytes it got. These methods are internal to the library and
// not exported.
class KAVRO_FTD2XX {
 public:
  unsigned int ftDevice = 0;
  void* ftHandle = nullptr;
  unsigned int ftStatus = 0;
  kavro::FT_DEVICE_LIST_INFO_NODE* devInfo = nullptr;
  unsigned int numDevs = 0;
  char SerialNumber[kavro::kSerialNumberSize] = {};
  char Description[kavro::kDescriptionSize] = {};
  unsigned char RxBuffer[1024] = {};
  unsigned char TxBuffer[1024] = {};
  unsigned int VID = 0;
  unsigned int PID = 0;
  unsigned int RxBytes = 0;
  unsigned int TxBytes = 0;

  void KAVRO_FT_GetDeviceCount();
  void KAVRO_FT_GetDeviceSerialNumber(void* index);
  void KAVRO_FT_GetDeviceDescription(void* index);
  void KAVRO_FT_OpenByIndex(int index);
  void KAVRO_FT_OpenExBySerialNumber();
  void KAVRO_FT_OpenExByDescription();
  void KAVRO_FT_GetDeviceInfo();
  void KAVRO_FT_GetStatus();
  void KAVRO_FT_SetTimeouts(unsigned int read_timeout, unsigned int write_timeout);
  void KAVRO_FT_SetUSBParameters(unsigned int in_transfer_size, unsigned int out_transfer_size);
  void KAVRO_FT_SetLatencyTimer(unsigned char timer);
  void KAVRO_FT_GetLatencyTimer();
  // Reads up to count bytes into RxBuffer from position offset (0 unless a reply is being
  // completed) and returns how many came: a read may end short, and what lies behind them in
  // RxBuffer is left from before.
  unsigned int KAVRO_FT_Read(unsigned int count, unsigned int offset = 0);
  void KAVRO_FT_Write(unsigned int count);
  void KAVRO_FT_Purge();
  void KAVRO_FT_Close();
  void KAVRO_FT_CreateDeviceInfoList();
  void KAVRO_FT_GetDeviceInfoList();
  void KAVRO_FT_SetVIDPID();
  void KAVRO_FT_GetVIDPID();

  // Microseconds on the provider's clock.
  std::uint64_t KAVRO_FT_Now();
  // Waits until at least bytes bytes are queued or the provider's clock reaches deadline_us;
  // may return earlier. ftStatus is not FT_OK when the provider could not wait.
  void KAVRO_FT_WaitForRx(unsigned int bytes, std::uint64_t deadline_us);

 protected:
  kavro::LinkProvider& Link();

  // nullptr means the default link.
  kavro::LinkProvider* link_ = nullptr;
  // The default link, chosen at its first use: the vendor library when it loads, else a
  // libftdi1 provider of this instance's own when the library has one, else the vendor library
  // (whose calls then fail and whose Diagnostic() says why). Copies of the instance share it,
  // so it is released once, with the last of them.
  std::shared_ptr<kavro::LinkProvider> defaultLink_;
  // Storage behind devInfo, reused by every device-list query.
  std::vector<kavro::FT_DEVICE_LIST_INFO_NODE> devInfoStore_;
};

namespace kavro::detail {
struct PacketAccess;  // the packet layer's way to the reply pacing below
}  // namespace kavro::detail

// The command class. One instance serves one thread at a time; instances share nothing.
class KAVRO_API KAVRO_USB_DLL : public KAVRO_FTD2XX {
 public:
  void* DeviceHandle = nullptr;
  unsigned int ErrorStatus = 0;
  std::string PacketSent;
  std::string PacketReceived;
  char ErrorText[64] = {};
  unsigned char EepromData1 = 0;
  unsigned char EepromData2 = 0;
  char SimulationMode = 0;
  int SimSerialNumber = 0;
  int SimOffsetValue = 0;
  int SimFullscaleValue = 0;
  int SimOffsetLoad = 0;
  int SimFullscaleLoad = 0;
  int SimAdcConfigUpper = 0;
  int SimAdcSamplingRate = 0;
  int SimUnitCode = 0;
  int SimDecimalPoint = 0;
  int SimVersionField1 = 0;
  int SimVersionField2 = 0;
  int SimVersionField3 = 0;
  int SimVersionField4 = 0;
  int SimVersionField5 = 0;
  unsigned char PacketNumber = 0;
  unsigned char TxLength = 0;
  unsigned char TxChannel = 0;
  unsigned char TxCommand = 0;
  unsigned char EndOfPacket = 0;
  unsigned char RxPacketNumber = 0;
  unsigned char RxLength = 0;
  unsigned char RxCommand = 0;
  unsigned char PacketData[8] = {};
  std::string ReadStatus;
  std::string WriteStatus;
  unsigned char AdcConfigUpper = 0;
  unsigned char AdcSamplingRate = 0;
  std::string VersionField1;
  std::string VersionField2;
  std::string VersionField3;
  std::string VersionField4;
  std::string VersionField5;
  unsigned int BoardType = 0;
  unsigned char RegisterAddress = 0;
  unsigned char RegisterHigh = 0;
  unsigned char RegisterLow = 0;

  // Chooses the D2XX provider for this instance; nullptr goes back to the default link (the
  // vendor library when it loads, else libftdi1 when built).
  void UseLink(kavro::LinkProvider* provider);
  // The provider this instance uses now.
  kavro::LinkProvider& CurrentLink();

  // Status description.
  void GetErrorDescription(unsigned int status);

  // Enumeration and connection.
  std::string Get_Device_Count();
  std::string Get_Device_Serial_Number(void* index);
  void Open_Device_Connection(char* serial_number);
  void Close_Device_Connection(void* handle);

  // Packet layer.
  void NextPacketNumber();
  void WritePacket(signed char mode);
  void ReadPacket(int budget_ms);
  void GetPacketSent();
  void GetPacketReceived();

  // Board management.
  std::string Slave_Activity_Inquiry(void* handle);
  std::string Version_of_Board(void* handle);
  void Get_Version_of_Board(void* handle);
  std::string Reset_Board(void* handle);

  // Converter configuration and value.
  std::string Set_ADC_Configuration(void* handle, unsigned char sampling_rate,
                                    unsigned char channel);
  std::string Set_ADC_Configuration2(void* handle, unsigned char configuration,
                                     unsigned char channel);
  std::string Get_ADC_Configuration(unsigned char address, unsigned char channel);
  std::string Calculate_ADC_Value(unsigned char status, unsigned char high, unsigned char middle,
                                  unsigned char low);

  // Measurement.
  std::string Normal_Data_Request(void* handle, unsigned char channel);
  std::string Get_Offset_Value(void* handle, unsigned char channel);
  std::string Get_Fullscale_Value(void* handle, unsigned char channel);

  // Register reads.
  std::string Read_EEPROM_Register(void* handle, unsigned char address);
  std::string Read_Channel_Register(void* handle, unsigned char channel, unsigned char address);

  // Calibration values.
  std::string Get_Offset_Load(void* handle, unsigned char channel);
  std::string Get_Fullscale_Load(void* handle, unsigned char channel);
  std::string Get_Unit_Code(void* handle, unsigned char channel);
  std::string Get_Decimal_Point(void* handle, unsigned char channel);

 private:
  friend struct kavro::detail::PacketAccess;

  // Waits for more reply bytes between two status queries of ReadPacket.
  void AwaitReplyBytes(unsigned int bytes, std::uint64_t start_us, std::uint64_t deadline_us);

  // The block a simulated open hands out; it holds 123456 after every simulated open.
  int simulatedHandleBlock_ = 0;
  // What paces the library's own wait for a reply when the provider has none: how long replies
  // have been taking on this link (microseconds on its clock), and how late the thread's sleeps
  // have been ending (microseconds).
  std::uint64_t replyPaceUs_ = 0;
  std::uint64_t sleepLateUs_ = 0;
};

#endif  // KAVRO_USB_DLL_H
