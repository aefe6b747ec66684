#pragma once
// Declares the process-wide function variables of one library's list:
// lib::<name> has the type of the library's own function and is null while
// the library is not bound. Every call of the system into a media library
// goes through these variables (the libraries are loaded at run time).
#define VIDMILL_DECLARE_BOUND(name) extern decltype(&::name) name;
#define VIDMILL_DEFINE_BOUND(name) decltype(&::name) name = nullptr;
