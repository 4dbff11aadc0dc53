<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="de" sourcelanguage="en">
<context>
    <name>QObject</name>
    <message>
        <source>Close</source>
        <translation>Schließen</translation>
    </message>
</context>
<context>
    <name>QPlatformTheme</name>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>&amp;OK</source>
        <translation>&amp;OK</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Abbrechen</translation>
    </message>
    <message>
        <source>&amp;Cancel</source>
        <translation>&amp;Abbrechen</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Schließen</translation>
    </message>
    <message>
        <source>&amp;Close</source>
        <translation>&amp;Schließen</translation>
    </message>
</context>
<context>
    <name>tarvik::CAlertPanel</name>
    <message>
        <source>1 older alert was dropped from this list.</source>
        <translation>1 ältere Warnung wurde aus dieser Liste entfernt.</translation>
    </message>
    <message>
        <source>%1 older alerts were dropped from this list.</source>
        <translation>%1 ältere Warnungen wurden aus dieser Liste entfernt.</translation>
    </message>
</context>
<context>
    <name>tarvik::CAlertTableModel</name>
    <message>
        <source>Time</source>
        <translation>Zeit</translation>
    </message>
    <message>
        <source>Host</source>
        <translation>Host</translation>
    </message>
    <message>
        <source>Ports</source>
        <translation>Ports</translation>
    </message>
    <message>
        <source>Kind</source>
        <translation>Art</translation>
    </message>
</context>
<context>
    <name>tarvik::CEmailEntryDlg</name>
    <message>
        <source>Email Address Entry</source>
        <translation>E-Mail-Adresse eingeben</translation>
    </message>
    <message>
        <source>Enter an email address:</source>
        <translation>Geben Sie eine E-Mail-Adresse ein:</translation>
    </message>
</context>
<context>
    <name>tarvik::CIPAddressEntryDlg</name>
    <message>
        <source>IP Address Entry</source>
        <translation>IP-Adresse eingeben</translation>
    </message>
    <message>
        <source>Enter an IP Address:</source>
        <translation>Geben Sie eine IP-Adresse ein:</translation>
    </message>
    <message>
        <source>Please enter an IPv4 or IPv6 address, or a range such as 192.168.0.0/16</source>
        <translation>Bitte geben Sie eine IPv4- oder IPv6-Adresse oder einen Bereich wie 192.168.0.0/16 ein</translation>
    </message>
</context>
<context>
    <name>tarvik::CInterfaceFilterBar</name>
    <message>
        <source>Network Interface:</source>
        <translation>Netzwerkschnittstelle:</translation>
    </message>
    <message>
        <source>Search:</source>
        <translation>Suche:</translation>
    </message>
    <message>
        <source>Filter rows (Ctrl+F)</source>
        <translation>Zeilen filtern (Strg+F)</translation>
    </message>
    <message>
        <source>( Show All )</source>
        <translation>( Alle anzeigen )</translation>
    </message>
</context>
<context>
    <name>tarvik::CListEditor</name>
    <message>
        <source>Add</source>
        <translation>Hinzufügen</translation>
    </message>
    <message>
        <source>Remove</source>
        <translation>Entfernen</translation>
    </message>
</context>
<context>
    <name>tarvik::CLoggingOptionsDlg</name>
    <message>
        <source>Logging Options</source>
        <translation>Protokollierungsoptionen</translation>
    </message>
    <message>
        <source>Inbound</source>
        <translation>Eingehend</translation>
    </message>
    <message>
        <source>Outbound</source>
        <translation>Ausgehend</translation>
    </message>
    <message>
        <source>Unknown</source>
        <translation>Unbekannt</translation>
    </message>
    <message>
        <source>Log Inbound Connections</source>
        <translation>Eingehende Verbindungen protokollieren</translation>
    </message>
    <message>
        <source>Log Outbound Connections</source>
        <translation>Ausgehende Verbindungen protokollieren</translation>
    </message>
    <message>
        <source>Log Unknown Connections</source>
        <translation>Unbekannte Verbindungen protokollieren</translation>
    </message>
</context>
<context>
    <name>tarvik::CLoggingPage</name>
    <message>
        <source>Log All Connections</source>
        <translation>Alle Verbindungen protokollieren</translation>
    </message>
    <message>
        <source>Log All Connections Except Specified Ports</source>
        <translation>Alle Verbindungen außer angegebenen Ports protokollieren</translation>
    </message>
    <message>
        <source>Only on Specified Ports</source>
        <translation>Nur auf angegebenen Ports</translation>
    </message>
    <message>
        <source>Which Connections Should be Logged?</source>
        <translation>Welche Verbindungen sollen protokolliert werden?</translation>
    </message>
    <message>
        <source>Browse</source>
        <translation>Durchsuchen</translation>
    </message>
    <message>
        <source>Daily</source>
        <translation>Täglich</translation>
    </message>
    <message>
        <source>Weekly</source>
        <translation>Wöchentlich</translation>
    </message>
    <message>
        <source>Monthly</source>
        <translation>Monatlich</translation>
    </message>
    <message>
        <source>Folder to Store Files:</source>
        <translation>Ordner für die Dateien:</translation>
    </message>
    <message>
        <source>Rotate Logfile:</source>
        <translation>Protokolldatei wechseln:</translation>
    </message>
    <message>
        <source>Select a folder in which to store the logfiles:</source>
        <translation>Wählen Sie einen Ordner für die Protokolldateien:</translation>
    </message>
</context>
<context>
    <name>tarvik::CMainFrame</name>
    <message>
        <source>Network Interface</source>
        <translation>Netzwerkschnittstelle</translation>
    </message>
    <message>
        <source>Scan Alerts</source>
        <translation>Scan-Warnungen</translation>
    </message>
    <message>
        <source>Scan &amp;Alerts</source>
        <translation>Scan-&amp;Warnungen</translation>
    </message>
    <message>
        <source>Show the scan alerts of this session, newest first</source>
        <translation>Die Scan-Warnungen dieser Sitzung anzeigen, die neuesten zuerst</translation>
    </message>
    <message>
        <source>1 scan alert</source>
        <translation>1 Scan-Warnung</translation>
    </message>
    <message>
        <source>%1 scan alerts</source>
        <translation>%1 Scan-Warnungen</translation>
    </message>
    <message>
        <source>&amp;File</source>
        <translation>&amp;Datei</translation>
    </message>
    <message>
        <source>&amp;Quit</source>
        <translation>&amp;Beenden</translation>
    </message>
    <message>
        <source>Stop monitoring and close Tarvik</source>
        <translation>Überwachung beenden und Tarvik schließen</translation>
    </message>
    <message>
        <source>&amp;Edit</source>
        <translation>&amp;Bearbeiten</translation>
    </message>
    <message>
        <source>&amp;Find</source>
        <translation>&amp;Suchen</translation>
    </message>
    <message>
        <source>Show only the rows that contain a text</source>
        <translation>Nur die Zeilen anzeigen, die einen Text enthalten</translation>
    </message>
    <message>
        <source>&amp;Refresh Now</source>
        <translation>&amp;Jetzt aktualisieren</translation>
    </message>
    <message>
        <source>Read the connection table now</source>
        <translation>Die Verbindungstabelle jetzt lesen</translation>
    </message>
    <message>
        <source>&amp;Help</source>
        <translation>&amp;Hilfe</translation>
    </message>
    <message>
        <source>&amp;About Tarvik…</source>
        <translation>Ü&amp;ber Tarvik…</translation>
    </message>
    <message>
        <source>How connections are read</source>
        <translation>Wie Verbindungen gelesen werden</translation>
    </message>
    <message>
        <source>Show the scan alerts of this session</source>
        <translation>Die Scan-Warnungen dieser Sitzung anzeigen</translation>
    </message>
    <message>
        <source>1 connection</source>
        <translation>1 Verbindung</translation>
    </message>
    <message>
        <source>%1 connections</source>
        <translation>%1 Verbindungen</translation>
    </message>
    <message>
        <source> of %1</source>
        <translation> von %1</translation>
    </message>
    <message>
        <source>About Tarvik</source>
        <translation>Über Tarvik</translation>
    </message>
    <message>
        <source>Shows the machine&apos;s TCP connections and listening ports, logs the connections that end and warns of port scans.</source>
        <translation>Zeigt die TCP-Verbindungen und lauschenden Ports des Rechners, protokolliert beendete Verbindungen und warnt vor Portscans.</translation>
    </message>
    <message>
        <source>Licence: GPL-3.0-or-later</source>
        <translation>Lizenz: GPL-3.0-or-later</translation>
    </message>
    <message>
        <source>OK</source>
        <translation>OK</translation>
    </message>
</context>
<context>
    <name>tarvik::CPortEntryDlg</name>
    <message>
        <source>Port Entry</source>
        <translation>Port eingeben</translation>
    </message>
    <message>
        <source>Enter a Port:</source>
        <translation>Geben Sie einen Port ein:</translation>
    </message>
    <message>
        <source>Please enter a number from 1 to 65535</source>
        <translation>Bitte geben Sie eine Zahl von 1 bis 65535 ein</translation>
    </message>
</context>
<context>
    <name>tarvik::CScanOptionsDlg</name>
    <message>
        <source>Tarvik has the ability to listen for connections on additional unused ports.  This can help to detect scanners more quickly.  Please note that when Tarvik is listening on these ports, other applications cannot.  Be sure to start any server applications before activating this feature and deactivate this feature before starting any new server applications.</source>
        <translation>Tarvik kann auf zusätzlichen, unbenutzten Ports auf Verbindungen lauschen. So lassen sich Scanner schneller erkennen. Beachten Sie, dass andere Anwendungen diese Ports nicht nutzen können, solange Tarvik auf ihnen lauscht. Starten Sie Serveranwendungen, bevor Sie diese Funktion einschalten, und schalten Sie sie aus, bevor Sie neue Serveranwendungen starten.</translation>
    </message>
    <message>
        <source>Port Scan Detection Options</source>
        <translation>Optionen der Portscan-Erkennung</translation>
    </message>
    <message>
        <source>Enable Port Scan Detection</source>
        <translation>Portscan-Erkennung einschalten</translation>
    </message>
    <message>
        <source>Detection Options</source>
        <translation>Erkennung</translation>
    </message>
    <message>
        <source>Attack Notification and Response</source>
        <translation>Benachrichtigung und Reaktion bei Angriffen</translation>
    </message>
    <message>
        <source>Trigger an alert after</source>
        <translation>Warnung auslösen nach</translation>
    </message>
    <message>
        <source>unique connections.</source>
        <translation>verschiedenen Verbindungen.</translation>
    </message>
    <message>
        <source>Add any hosts which may trigger a scan alert but you know to be friendly.  Removing the default addresses is not recommended.</source>
        <translation>Fügen Sie Hosts hinzu, die eine Scan-Warnung auslösen können, von denen Sie aber wissen, dass sie harmlos sind. Die vorgegebenen Adressen zu entfernen wird nicht empfohlen.</translation>
    </message>
    <message>
        <source>Ignore connections from the following IP addresses:</source>
        <translation>Verbindungen von folgenden IP-Adressen ignorieren:</translation>
    </message>
    <message>
        <source>Listen for connections on additional ports</source>
        <translation>Auf zusätzlichen Ports auf Verbindungen lauschen</translation>
    </message>
    <message>
        <source>Add to or remove from the list of ports Tarvik will listen on.  The default settings should be sufficient for most purposes.</source>
        <translation>Ergänzen oder kürzen Sie die Liste der Ports, auf denen Tarvik lauscht. Die Voreinstellungen genügen für die meisten Zwecke.</translation>
    </message>
    <message>
        <source>Log to the system log</source>
        <translation>Im Systemprotokoll vermerken</translation>
    </message>
    <message>
        <source>Send Alert Email</source>
        <translation>Warnung per E-Mail senden</translation>
    </message>
    <message>
        <source>When selected, Tarvik will log all suspected scan attempts to the system log.</source>
        <translation>Ist dies gewählt, vermerkt Tarvik jeden vermuteten Scanversuch im Systemprotokoll.</translation>
    </message>
    <message>
        <source>An alert email will be sent to the recipients specified:</source>
        <translation>Eine Warnung wird per E-Mail an diese Empfänger gesendet:</translation>
    </message>
    <message>
        <source>Outgoing Mail Server (SMTP) to use to send the alert email:</source>
        <translation>Postausgangsserver (SMTP) für die Warnungs-E-Mail:</translation>
    </message>
    <message>
        <source>Please enter an integer.</source>
        <translation>Bitte geben Sie eine ganze Zahl ein.</translation>
    </message>
</context>
<context>
    <name>tarvik::CSystemTray</name>
    <message>
        <source>&amp;About</source>
        <translation>Ü&amp;ber</translation>
    </message>
    <message>
        <source>E&amp;xit</source>
        <translation>&amp;Beenden</translation>
    </message>
    <message>
        <source>1 more message not shown.</source>
        <translation>1 weitere Meldung wird nicht angezeigt.</translation>
    </message>
    <message>
        <source>%1 more messages not shown.</source>
        <translation>%1 weitere Meldungen werden nicht angezeigt.</translation>
    </message>
</context>
<context>
    <name>tarvik::CTarvikView</name>
    <message>
        <source>This window shows the connections of tarvikd, which logs and watches for scans with its own settings. To change them, root edits tarvikd&apos;s settings file and runs &quot;tarvikctl reload&quot;. The values below are this window&apos;s own, unused while it is attached.</source>
        <translation>Dieses Fenster zeigt die Verbindungen von tarvikd, das mit seinen eigenen Einstellungen protokolliert und nach Scans Ausschau hält. Um sie zu ändern, bearbeitet root die Einstellungsdatei von tarvikd und ruft „tarvikctl reload“ auf. Die Werte unten gehören diesem Fenster und bleiben ungenutzt, solange es verbunden ist.</translation>
    </message>
    <message>
        <source>Copy &amp;row</source>
        <translation>Zeile &amp;kopieren</translation>
    </message>
    <message>
        <source>Copy the selected row&apos;s cells, separated by tabs</source>
        <translation>Die Zellen der gewählten Zeile kopieren, durch Tabulatoren getrennt</translation>
    </message>
    <message>
        <source>&amp;View</source>
        <translation>&amp;Ansicht</translation>
    </message>
    <message>
        <source>&amp;DNS Lookups Enabled</source>
        <translation>&amp;DNS-Auflösung eingeschaltet</translation>
    </message>
    <message>
        <source>Enable Reverse DNS Lookup of Hostnames</source>
        <translation>Hostnamen per Reverse-DNS auflösen</translation>
    </message>
    <message>
        <source>Show &amp;Listening Ports</source>
        <translation>Lauschende &amp;Ports anzeigen</translation>
    </message>
    <message>
        <source>Show ports listening for connections</source>
        <translation>Ports anzeigen, die auf Verbindungen lauschen</translation>
    </message>
    <message>
        <source>Show &amp;Inbound Connections</source>
        <translation>&amp;Eingehende Verbindungen anzeigen</translation>
    </message>
    <message>
        <source>Show inbound connections to this computer</source>
        <translation>Eingehende Verbindungen zu diesem Rechner anzeigen</translation>
    </message>
    <message>
        <source>Show &amp;Outbound Connections</source>
        <translation>A&amp;usgehende Verbindungen anzeigen</translation>
    </message>
    <message>
        <source>Show outbound connections from this computer</source>
        <translation>Ausgehende Verbindungen von diesem Rechner anzeigen</translation>
    </message>
    <message>
        <source>Show &amp;Unknown Connections</source>
        <translation>U&amp;nbekannte Verbindungen anzeigen</translation>
    </message>
    <message>
        <source>Show connections that were not recognized</source>
        <translation>Nicht erkannte Verbindungen anzeigen</translation>
    </message>
    <message>
        <source>&amp;Options</source>
        <translation>&amp;Optionen</translation>
    </message>
    <message>
        <source>&amp;Logging…</source>
        <translation>&amp;Protokollierung…</translation>
    </message>
    <message>
        <source>Port &amp;Scan Detection…</source>
        <translation>Port&amp;scan-Erkennung…</translation>
    </message>
    <message>
        <source>Copy &amp;Hostname</source>
        <translation>&amp;Hostnamen kopieren</translation>
    </message>
    <message>
        <source>Copy IP &amp;Address</source>
        <translation>IP-&amp;Adresse kopieren</translation>
    </message>
</context>
<context>
    <name>tarvik::Column</name>
    <message>
        <source>Hostname</source>
        <translation>Hostname</translation>
    </message>
    <message>
        <source>IP Address</source>
        <translation>IP-Adresse</translation>
    </message>
    <message>
        <source>Local Port</source>
        <translation>Lokaler Port</translation>
    </message>
    <message>
        <source>Remote Port</source>
        <translation>Entfernter Port</translation>
    </message>
    <message>
        <source>Service Type</source>
        <translation>Dienst</translation>
    </message>
    <message>
        <source>Interface</source>
        <translation>Schnittstelle</translation>
    </message>
    <message>
        <source>Connection State</source>
        <translation>Verbindungsstatus</translation>
    </message>
    <message>
        <source>Process</source>
        <translation>Prozess</translation>
    </message>
    <message>
        <source>Sent</source>
        <translation>Gesendet</translation>
    </message>
    <message>
        <source>Received</source>
        <translation>Empfangen</translation>
    </message>
    <message>
        <source>Rate</source>
        <translation>Datenrate</translation>
    </message>
    <message>
        <source>Protocol</source>
        <translation>Protokoll</translation>
    </message>
</context>
<context>
    <name>tarvik::OptionsCommon</name>
    <message>
        <source>The settings could not be saved to %1: %2</source>
        <translation>Die Einstellungen konnten nicht in %1 gespeichert werden: %2</translation>
    </message>
</context>
</TS>
