[playlist]
NumberOfEntries=3
File2=sub/c.mp3
Title2=C
Length2=10
file1 = a.mp3
File3=café.mp3
File=notes.txt
File4=
Version=2
[other]
File5=a.mp3
