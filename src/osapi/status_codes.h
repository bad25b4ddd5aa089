// Status codes shared by the OS layer, the image list and the board API.
#pragma once

constexpr int kBspSuccess = 0;
constexpr int kBspFailure = 1;
constexpr int kBspError = 2;
constexpr int kBspNotSupported = 4;
constexpr int kBspNotFound = 5;
constexpr int kBspAlreadySo = 6;
constexpr int kBspRefused = 8;
