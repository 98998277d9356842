SetClipboardText("http://127.0.0.1:" .. PORT .. "/")
