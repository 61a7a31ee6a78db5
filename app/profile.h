#pragma once
// Profile (ini-style) settings file.

class ProfileFile {
public:
};
