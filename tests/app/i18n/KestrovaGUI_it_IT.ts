<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="it_IT">
<context>
    <name>Kestrova</name>
    <message>
        <source>langue</source>
        <translation>italiano</translation>
    </message>
</context>
</TS>
