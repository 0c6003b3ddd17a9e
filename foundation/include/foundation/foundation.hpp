#pragma once
// Said first, so that a C++17 build stops on the reason and not deep inside a header.
#if __cplusplus < 202002L
#error "foundation needs C++20: compile with -std=c++20 or later"
#endif
// foundation: the platform pieces every library of the project stands on: serial queues over one thread pool,
// the main queue, timers, notifications, user defaults, application identity, strict base64, SHA-256, secure
// random, path-segment percent-encoding, the log sink and the clock.
//
// Example:
//   #include <foundation/foundation.hpp>
//   foundation::SerialQueue queue("com.example.work");
//   queue.post([] { foundation::MainQueue::post([] { /* back on the main queue */ }); });
//
// Link foundation::foundation (CMake) or `pkg-config --libs foundation`.
#include "foundation/app_info.hpp"
#include "foundation/app_notifications.hpp"
#include "foundation/base64.hpp"
#include "foundation/bytes.hpp"
#include "foundation/cancellable.hpp"
#include "foundation/clock.hpp"
#include "foundation/crypto.hpp"
#include "foundation/delay.hpp"
#include "foundation/log.hpp"
#include "foundation/main_queue.hpp"
#include "foundation/notification_center.hpp"
#include "foundation/json_nesting.hpp"
#include "foundation/percent_encoding.hpp"
#include "foundation/result.hpp"
#include "foundation/serial_queue.hpp"
#include "foundation/thread_pool.hpp"
#include "foundation/user_defaults.hpp"
#include "foundation/user_folders.hpp"
