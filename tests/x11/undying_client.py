#!/usr/bin/python3
"""An X client whose process ends at once while its connection stays open.

It maps a window (title and WM_CLASS "undying"/"Undying"), then forks: the
child keeps the connection's socket and sleeps, the process that made the
window exits and stays a zombie until its parent reaps it. Only closing the
connection on the server's side (XKillClient) removes the window.
"""
import ctypes
import os
import time

xlib = ctypes.cdll.LoadLibrary("libX11.so.6")
xlib.XOpenDisplay.restype = ctypes.c_void_p
xlib.XOpenDisplay.argtypes = [ctypes.c_char_p]
xlib.XDefaultRootWindow.restype = ctypes.c_ulong
xlib.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
xlib.XCreateSimpleWindow.restype = ctypes.c_ulong
xlib.XCreateSimpleWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                                     ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_ulong]


class ClassHint(ctypes.Structure):
    _fields_ = [("res_name", ctypes.c_char_p), ("res_class", ctypes.c_char_p)]


xlib.XSetClassHint.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ClassHint)]
xlib.XStoreName.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_char_p]
xlib.XMapWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
xlib.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]

display = xlib.XOpenDisplay(None)
window = xlib.XCreateSimpleWindow(display, xlib.XDefaultRootWindow(display), 0, 0, 200, 100, 0, 0, 0x00c000)
xlib.XSetClassHint(display, window, ctypes.byref(ClassHint(b"undying", b"Undying")))
xlib.XStoreName(display, window, b"undying")
xlib.XMapWindow(display, window)
xlib.XSync(display, 0)
if os.fork() == 0:
    time.sleep(60)
os._exit(0)
