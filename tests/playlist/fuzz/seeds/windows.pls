ï»¿[Playlist]
File1=sub\c.mp3
File10=été.mp3
; comment
File01=b b.mp3
