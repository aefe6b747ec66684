#pragma once
#define SDL_MAIN_HANDLED
#include <SDL2/SDL.h>

#include "runtime/lib/Bound.h"

// The list stays as written (the formatter would stagger it).
// clang-format off
#define VIDMILL_SDL_FUNCTIONS(X) \
  X(SDL_Init) X(SDL_InitSubSystem) X(SDL_QuitSubSystem) X(SDL_Quit) X(SDL_WasInit) X(SDL_GetError) X(SDL_SetHint) \
  X(SDL_ResetHint) X(SDL_GetWindowID) \
  X(SDL_AddTimer) X(SDL_RemoveTimer) X(SDL_Delay) X(SDL_GetTicks) \
  X(SDL_OpenAudioDevice) X(SDL_PauseAudioDevice) X(SDL_CloseAudioDevice) X(SDL_MixAudioFormat) \
  X(SDL_LockAudioDevice) X(SDL_UnlockAudioDevice) \
  X(SDL_WaitEvent) X(SDL_WaitEventTimeout) X(SDL_PushEvent) X(SDL_EventState) X(SDL_RegisterEvents) \
  X(SDL_FlushEvents) \
  X(SDL_CreateWindowFrom) X(SDL_CreateWindow) X(SDL_DestroyWindow) X(SDL_GetWindowSize) X(SDL_SetWindowSize) \
  X(SDL_ShowWindow) X(SDL_HideWindow) X(SDL_GetCurrentDisplayMode) X(SDL_GetCurrentVideoDriver) \
  X(SDL_CreateRenderer) X(SDL_DestroyRenderer) X(SDL_GetRendererOutputSize) X(SDL_RenderClear) \
  X(SDL_RenderCopy) X(SDL_RenderCopyEx) X(SDL_RenderPresent) X(SDL_SetRenderDrawColor) X(SDL_RenderDrawLine) \
  X(SDL_RenderFillRect) \
  X(SDL_CreateTexture) X(SDL_DestroyTexture) X(SDL_UpdateYUVTexture) X(SDL_LockTexture) X(SDL_UnlockTexture) \
  X(SDL_CreateMutex) X(SDL_LockMutex) X(SDL_UnlockMutex) X(SDL_DestroyMutex) \
  X(SDL_CreateCond) X(SDL_DestroyCond) X(SDL_CondSignal) X(SDL_CondWait) X(SDL_CondWaitTimeout) \
  X(SDL_CreateThread) X(SDL_WaitThread)
// clang-format on

namespace lib {
VIDMILL_SDL_FUNCTIONS(VIDMILL_DECLARE_BOUND)
}
