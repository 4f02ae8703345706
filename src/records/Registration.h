#pragma once
// Registers every record class of the program in its start-up order. Call once
// before any stream is read; repeating it changes nothing.
namespace records {

void RegisterAllPacketClasses();

} // namespace records
