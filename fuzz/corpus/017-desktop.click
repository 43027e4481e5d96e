{"id":"r1","operation":"desktop.click","x":1,"y":0,"button":"right","monitorId":"monitor_d5427d3cc5e5beff"}
