"""Importing this module starts the platform socket library once per process
(Winsock 2.2 on Windows, nothing elsewhere); it is released at process exit.
The module defines nothing."""
