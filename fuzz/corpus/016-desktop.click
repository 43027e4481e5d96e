{"id":"r1","operation":"desktop.click","x":5E-1,"y":2.5E-1}
