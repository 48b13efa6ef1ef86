#pragma once
// The process's umockdev testbed and helpers for umockdev's ioctl data.

#include <umockdev.h>

#include <cstddef>
#include <memory>

#include "tests/mockdev/mock_devices.hpp"

namespace oscset::mockdev {

// Created at the first call, kept until the process ends (after libusb's context).
UMockdevTestbed* testbed();

struct DataUnref {
    void operator()(UMockdevIoctlData* data) const { umockdev_ioctl_data_unref(data); }
};
using DataRef = std::unique_ptr<UMockdevIoctlData, DataUnref>;

// umockdev's copy of `length` bytes at the pointer stored at `offset` in `data`; a bad
// address in the client fails the test run loudly, as the kernel would fault the caller.
DataRef resolve(UMockdevIoctlData* data, std::size_t offset, std::size_t length);

// A testbed call that failed: reported on standard error, for the test's log.
void report(GError* error);

}  // namespace oscset::mockdev
