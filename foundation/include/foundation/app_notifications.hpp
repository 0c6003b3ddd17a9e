#pragma once
// Application life events, posted on NotificationCenter::defaultCenter() by the application itself: Linux has
// no notion of an active application, so whoever knows (the app's window handling) posts them.
//
// Example:
//   // When the app's last window loses focus:
//   foundation::MainQueue::post([] {
//     foundation::NotificationCenter::defaultCenter().post(std::string(foundation::kApplicationWillResignActive));
//   });
//
// Observers run on the poster's thread; post from the main queue, where the libraries expect these events.
#include <string_view>

namespace foundation {

// The application is about to stop being the active one (a good moment for housekeeping: the image caches
// sweep their disk then). Posted without an object or user info.
inline constexpr std::string_view kApplicationWillResignActive = "com.tolvaran.foundation.ApplicationWillResignActive";

}  // namespace foundation
