#pragma once
// The controllers this user's other IrisDesk processes (a panel, a serve) hold, as a
// bridge: listed like any others, and opened through the serving process's endpoint.
// A frame written becomes the command language's counterpart (a status request a
// STATe? query whose answer is read back as a reply frame; a move, initialise or stop
// the command of that name), so the serving link's queue and rules apply to it and a
// program written for the bridge works unchanged.
#include <memory>
#include <string>
#include <vector>

#include "link/Bridge.h"
#include "link/ControllerList.h"

namespace irisdesk::remote {

struct ServedController {
  ControllerEntry controller;  // as the serving process names it
  std::string endpoint;        // its local endpoint
};

// The controllers served now; asks each endpoint (stale ones are left out). `untaken`
// gets the endpoints that let a connection in and closed it unanswered: their process
// has every connection in use (or does not answer).
std::vector<ServedController> ListServedControllers(std::vector<std::string>* untaken = nullptr);

class ServedBridge final : public Bridge {
 public:
  FT_STATUS FT_CreateDeviceInfoList(uint32_t* count) override;
  FT_STATUS FT_GetDeviceInfoList(FT_DEVICE_LIST_INFO_NODE* list, uint32_t* count) override;
  FT_STATUS FT_OpenEx(const char* arg, uint32_t flags, FT_HANDLE* handle) override;
  FT_STATUS FT_SetBaudRate(FT_HANDLE, uint32_t) override { return FT_OK; }
  FT_STATUS FT_SetDataCharacteristics(FT_HANDLE, uint8_t, uint8_t, uint8_t) override { return FT_OK; }
  FT_STATUS FT_Purge(FT_HANDLE handle, uint32_t mask) override;
  FT_STATUS FT_Write(FT_HANDLE handle, const void* buffer, uint32_t size, uint32_t* written) override;
  FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t* waiting) override;
  FT_STATUS FT_Read(FT_HANDLE handle, void* buffer, uint32_t size, uint32_t* read) override;
  FT_STATUS FT_Close(FT_HANDLE handle) override;
  FT_STATUS FT_SetLatencyTimer(FT_HANDLE, uint8_t) override { return FT_OK; }
  // The answer is read before FT_Write returns: nothing to wait for.
  FT_STATUS WaitForReceive(FT_HANDLE, std::chrono::microseconds) override { return FT_OK; }

  // The endpoints the last listing could not ask (see ListServedControllers).
  const std::vector<std::string>& Untaken() const { return untaken_; }

 private:
  std::vector<ServedController> served_;  // as last listed
  std::vector<std::string> untaken_;
};

// The entry a served controller is listed as: with its endpoint as the port when the
// serving process knows none (a simulator), so each one can be named.
ControllerEntry ServedEntry(const ServedController& served);

}  // namespace irisdesk::remote
