#pragma once
// The key codes the command list's key handler (LbCommandsKeyDown) takes:
// Windows virtual-key codes, whatever the platform. The event filter maps
// Qt's keys onto them.

constexpr int VirtualKeyInsert = 45; // VK_INSERT: a copy of the held line goes in
constexpr int VirtualKeyDelete = 46; // VK_DELETE: the selected command goes
