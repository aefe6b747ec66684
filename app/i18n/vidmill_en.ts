<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>TFrm_Main</name>
    <message>
        <source>添加要转换的视频、音频或图片文件（也可以把文件和目录拖到列表中）</source>
        <translation>Adds video, audio or picture files to convert (files and folders can also be dropped onto the list)</translation>
    </message>
    <message>
        <source>从列表中删除选中的文件</source>
        <translation>Removes the selected file from the list</translation>
    </message>
    <message>
        <source>清除列表中的全部文件</source>
        <translation>Removes every file from the list</translation>
    </message>
    <message>
        <source>把列表中的全部文件转换为所选标签页的格式</source>
        <translation>Converts every file of the list to the format of the chosen tab</translation>
    </message>
    <message>
        <source>停止转换；已写出的文件仍可播放，只是较短</source>
        <translation>Stops the conversions; the files written so far still play, only shorter</translation>
    </message>
    <message>
        <source>打开帮助页</source>
        <translation>Opens the help page</translation>
    </message>
    <message>
        <source>在预览窗口中播放列表中选中的文件</source>
        <translation>Plays the file selected in the list in the preview panel</translation>
    </message>
    <message>
        <source>停止预览</source>
        <translation>Stops the preview</translation>
    </message>
    <message>
        <source>拖动到源文件的另一位置</source>
        <translation>Drag to another place in the source</translation>
    </message>
    <message>
        <source>3GP：供手机播放。视频 H.263，画面固定为 128x96；音频 AMR-NB（单声道，8 kHz，7.4 kbit/s）；3GP 容器</source>
        <translation>3GP: for mobile phones. H.263 video at a fixed 128x96; AMR-NB audio (mono, 8 kHz, 7.4 kbit/s); 3GP container</translation>
    </message>
    <message>
        <source>MP4：供电脑、手机和网页播放。视频 H.264（High 规格）；音频 AAC；MP4 容器</source>
        <translation>MP4: for computers, phones and the web. H.264 video (High profile); AAC audio; MP4 container</translation>
    </message>
    <message>
        <source>AVI：供电脑和 DivX 播放机播放。视频 MPEG-4 Part 2；音频 MP3；AVI 容器</source>
        <translation>AVI: for computers and DivX players. MPEG-4 Part 2 video; MP3 audio; AVI container</translation>
    </message>
    <message>
        <source>VCD：刻录 VCD 光盘。视频 MPEG-1（PAL 352x288 或 NTSC 352x240，1150 kbit/s）；音频 MP2（立体声，44.1 kHz）；MPEG-1 节目流（.mpg）</source>
        <translation>VCD: for burning a Video CD. MPEG-1 video (PAL 352x288 or NTSC 352x240, 1150 kbit/s); MP2 audio (stereo, 44.1 kHz); MPEG-1 program stream (.mpg)</translation>
    </message>
    <message>
        <source>DVD：制作 DVD 视频光盘。视频 MPEG-2（PAL 720x576 或 NTSC 720x480）；音频 AC-3（48 kHz）；MPEG-2 节目流（.mpg）</source>
        <translation>DVD: for authoring a DVD-Video disc. MPEG-2 video (PAL 720x576 or NTSC 720x480); AC-3 audio (48 kHz); MPEG-2 program stream (.mpg)</translation>
    </message>
    <message>
        <source>Flv：供网页中的 Flash 播放器播放。视频 Sorenson H.263（FLV1）；音频 MP3；FLV 容器</source>
        <translation>Flv: for Flash players in web pages. Sorenson H.263 (FLV1) video; MP3 audio; FLV container</translation>
    </message>
    <message>
        <source>WMV：供 Windows Media Player 播放。视频 WMV2（Windows Media Video 8）；音频 WMA（WMAv2）；ASF 容器（.wmv）</source>
        <translation>WMV: for Windows Media Player. WMV2 (Windows Media Video 8) video; WMA (WMAv2) audio; ASF container (.wmv)</translation>
    </message>
    <message>
        <source>输出画面的宽和高；“自动”保持源文件的尺寸。3GP 固定为 128x96，VCD 和 DVD 用电视制式的尺寸</source>
        <translation>Width and height of the output picture; “Auto” keeps the source&apos;s size. 3GP is always 128x96, VCD and DVD take the size of their TV norm</translation>
    </message>
    <message>
        <source>输出声音的声道；“自动”保持源文件的声道。3GP 总是单声道，VCD 总是立体声</source>
        <translation>Channels of the output sound; “Auto” keeps the source&apos;s channels. 3GP is always mono, VCD always stereo</translation>
    </message>
    <message>
        <source>选中时按右边的码率编码视频，不选时为 600 kbit/s。VCD 总是 1150 kbit/s</source>
        <translation>When checked, the video is encoded at the bit rate on the right, otherwise at 600 kbit/s. VCD is always 1150 kbit/s</translation>
    </message>
    <message>
        <source>视频码率，单位 kbit/s</source>
        <translation>Video bit rate in kbit/s</translation>
    </message>
    <message>
        <source>选中时按右边的码率编码声音，不选时用格式的默认码率。3GP 总是 7.4 kbit/s</source>
        <translation>When checked, the sound is encoded at the bit rate on the right, otherwise at the format&apos;s default. 3GP is always 7.4 kbit/s</translation>
    </message>
    <message>
        <source>音频码率，单位 kbit/s</source>
        <translation>Audio bit rate in kbit/s</translation>
    </message>
    <message>
        <source>每秒的画面数；“自动”保持源文件的帧率。VCD 和 DVD 用电视制式的帧率</source>
        <translation>Pictures per second; “Auto” keeps the source&apos;s frame rate. VCD and DVD take the rate of their TV norm</translation>
    </message>
    <message>
        <source>VCD 和 DVD 的电视制式：PAL（25 帧/秒）或 NTSC（29.97 帧/秒）；“自动”按源文件的帧率选择，无法判断时用 PAL</source>
        <translation>The TV norm of VCD and DVD: PAL (25 frames a second) or NTSC (29.97 frames a second); “Auto” follows the source&apos;s frame rate, and PAL when that tells none</translation>
    </message>
    <message>
        <source>保存转换结果的目录；“%1”保存在每个源文件旁边。结果名为“名称_(new).扩展名”，该名已被占用时为“名称_(new_1).扩展名”等，不会覆盖已有的文件</source>
        <translation>The folder the converted files go to; “%1” puts each next to its source. They are named “name_(new).ext”, or “name_(new_1).ext” and so on when that name is taken: no file is ever overwritten</translation>
    </message>
    <message>
        <source>选择保存转换结果的目录</source>
        <translation>Chooses the folder the converted files go to</translation>
    </message>
    <message>
        <source>在文件管理器中打开输出目录</source>
        <translation>Opens the output folder in the file manager</translation>
    </message>
    <message>
        <source>源文件路径</source>
        <translation>Source file</translation>
    </message>
    <message>
        <source>总时间</source>
        <translation>Duration</translation>
    </message>
    <message>
        <source>文件大小</source>
        <translation>Size</translation>
    </message>
    <message>
        <source>输出文件</source>
        <translation>Output</translation>
    </message>
    <message>
        <source>转换进度</source>
        <translation>Progress</translation>
    </message>
    <message>
        <source>当前时间</source>
        <translation>Position</translation>
    </message>
    <message>
        <source>自动 - 初始化</source>
        <translation>Auto - as the source</translation>
    </message>
    <message>
        <source>自动</source>
        <translation>Auto</translation>
    </message>
    <message>
        <source>单声道</source>
        <translation>Mono</translation>
    </message>
    <message>
        <source>双声道</source>
        <translation>Stereo</translation>
    </message>
    <message>
        <source>PAL 制试</source>
        <translation>PAL</translation>
    </message>
    <message>
        <source>NTSC 制试</source>
        <translation>NTSC</translation>
    </message>
    <message>
        <source>输出目录:</source>
        <translation>Output folder:</translation>
    </message>
    <message>
        <source>选择目录</source>
        <translation>Choose Folder</translation>
    </message>
    <message>
        <source>打开目录</source>
        <translation>Open Folder</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>添加文件</source>
        <translation>Add Files</translation>
    </message>
    <message>
        <source>添加目录</source>
        <translation>Add Folder</translation>
    </message>
    <message>
        <source>删除文件</source>
        <translation>Remove File</translation>
    </message>
    <message>
        <source>清除</source>
        <translation>Clear</translation>
    </message>
    <message>
        <source>开始转换</source>
        <translation>Convert</translation>
    </message>
    <message>
        <source>停止转换</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>帮助文件</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>E-mail支持</source>
        <translation>E-mail Support</translation>
    </message>
    <message>
        <source>访问官方网站</source>
        <translation>Visit the Home Page</translation>
    </message>
    <message>
        <source>关于...</source>
        <translation>About...</translation>
    </message>
    <message>
        <source>播放</source>
        <translation>Play</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>暂停/继续</source>
        <translation>Pause/Resume</translation>
    </message>
    <message>
        <source>暂停</source>
        <translation>Pause</translation>
    </message>
    <message>
        <source>文件</source>
        <translation>File</translation>
    </message>
    <message>
        <source>清除文件</source>
        <translation>Clear Files</translation>
    </message>
    <message>
        <source>退出</source>
        <translation>Exit</translation>
    </message>
    <message>
        <source> 添加(&amp;A) </source>
        <translation> &amp;Add </translation>
    </message>
    <message>
        <source>删除(&amp;D)</source>
        <translation>&amp;Remove</translation>
    </message>
    <message>
        <source>清除(&amp;C)</source>
        <translation>&amp;Clear</translation>
    </message>
    <message>
        <source>视频尺寸</source>
        <translation>Frame size</translation>
    </message>
    <message>
        <source>声道</source>
        <translation>Channels</translation>
    </message>
    <message>
        <source>视(音)频品质 (Kbps)</source>
        <translation>Quality (kbit/s)</translation>
    </message>
    <message>
        <source>视频品质</source>
        <translation>Video</translation>
    </message>
    <message>
        <source>音频品质</source>
        <translation>Audio</translation>
    </message>
    <message>
        <source>帧率</source>
        <translation>Frame rate</translation>
    </message>
    <message>
        <source>选择电视制式</source>
        <translation>TV norm</translation>
    </message>
    <message>
        <source>无法创建目录 &quot;%1&quot;: %2</source>
        <translation>Cannot create the folder &quot;%1&quot;: %2</translation>
    </message>
    <message>
        <source>正在添加 %1/%2 个文件</source>
        <translation>Adding %1/%2 files</translation>
    </message>
    <message>
        <source>正在查找文件...</source>
        <translation>Looking for files...</translation>
    </message>
    <message>
        <source>没有视频文件，不能转换.</source>
        <translation>There are no video files to convert.</translation>
    </message>
    <message>
        <source>提示</source>
        <translation>Note</translation>
    </message>
    <message>
        <source>正在准备转换 %1/%2</source>
        <translation>Preparing the conversion %1/%2</translation>
    </message>
    <message>
        <source>请在列表中选择一个文件再点击播放预览</source>
        <translation>Select a file in the list, then click Play to preview it</translation>
    </message>
    <message>
        <source>已完成 %1 个，失败 %2 个，共 %3 个文件</source>
        <translation>%1 converted, %2 failed, of %3 files</translation>
    </message>
    <message>
        <source>，剩余时间 %1</source>
        <translation>, %1 left</translation>
    </message>
    <message>
        <source>剩余时间 %1</source>
        <translation>%1 left</translation>
    </message>
    <message>
        <source>正在转换文件。停止转换并退出吗？</source>
        <translation>Files are being converted. Stop converting and exit?</translation>
    </message>
    <message>
        <source>以下文件无法添加:</source>
        <translation>These files could not be added:</translation>
    </message>
    <message>
        <source>……另有 %1 个</source>
        <translation>... and %1 more</translation>
    </message>
    <message>
        <source>文件夹中有 %1 个媒体文件，一次最多添加 %2 个：只添加了前 %2 个。</source>
        <translation>The folders hold %1 media files and at most %2 are added at a time: only the first %2 were added.</translation>
    </message>
    <message>
        <source>正在转换视频文件</source>
        <translation>Converting video files</translation>
    </message>
    <message>
        <source>失败</source>
        <translation>Failed</translation>
    </message>
    <message>
        <source>已停止</source>
        <translation>Stopped</translation>
    </message>
    <message>
        <source>转换已停止</source>
        <translation>Conversion stopped</translation>
    </message>
    <message>
        <source>转换完成</source>
        <translation>Conversion done</translation>
    </message>
    <message>
        <source> (%1 个成功，%2 个失败)</source>
        <translation> (%1 converted, %2 failed)</translation>
    </message>
    <message>
        <source>%1 个文件转换成功，%2 个失败</source>
        <translation>%1 files converted, %2 failed</translation>
    </message>
</context>
<context>
    <name>TFrm_about</name>
    <message>
        <source>关于...</source>
        <translation>About...</translation>
    </message>
    <message>
        <source>官方网站:</source>
        <translation>Home page:</translation>
    </message>
</context>
</TS>
